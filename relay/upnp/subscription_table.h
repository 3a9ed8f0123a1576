// The event subscriptions the relay has granted, so that a renewal keeps its
// SID and a renewal of one it never granted, or of one that has lapsed, is
// refused. Bounded in all and for each host: a LAN host that subscribes
// without end displaces its own subscriptions, not those of the others, and
// costs no more memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "relay/upnp/event_notify.h"

namespace relay {

// Each entry is a SID, a target and an end time: a few hundred cost a few
// dozen kilobytes, and are more than the control points of a home network.
inline constexpr std::size_t kMostSubscriptions = 512;
// A control point subscribes to each service of each server it shows: two
// here, a few more for one that lost track of its own and subscribes again.
inline constexpr std::size_t kMostSubscriptionsPerHost = 32;

// Safe to use from several connection workers at once.
class SubscriptionTable {
 public:
  explicit SubscriptionTable(std::size_t capacity = kMostSubscriptions,
                             std::size_t perHost = kMostSubscriptionsPerHost)
      : capacity_(capacity), perHost_(perHost) {}

  // A new subscription of `host` (the subscriber's address) to `target` for
  // `seconds` from `nowMs` (monotonic milliseconds): its new SID, "uuid:"
  // and a time-based UUID. A host at its quota, or a full table, first
  // forgets the lapsed ones; then a host at its quota gives up its own
  // subscription closest to its end, and a full table that of the host
  // holding the most.
  // `callback` is where its events go, when it named one the relay may use.
  std::string add(platform::Ipv4 host, std::string_view target, std::uint32_t seconds,
                  std::int64_t nowMs, std::optional<EventCallback> callback = std::nullopt);
  // Extends the subscription `sid` to `target` to `seconds` from `nowMs`;
  // false when there is no such subscription or it has lapsed.
  bool renew(std::string_view sid, std::string_view target, std::uint32_t seconds,
             std::int64_t nowMs);
  // Forgets the subscription `sid` to `target`, when there is one.
  void remove(std::string_view sid, std::string_view target);
  std::size_t size() const;

  // One event to send: where, for which SID, with which SEQ.
  struct Delivery {
    std::string sid;
    EventCallback callback;
    std::uint32_t seq = 0;
  };
  // An event for every live subscription to `target` with a callback, each
  // with its next SEQ (the initial event was 0); lapsed ones are forgotten.
  std::vector<Delivery> nextEvents(std::string_view target, std::int64_t nowMs);

 private:
  struct Subscription {
    platform::Ipv4 host = 0;
    std::string target;
    std::int64_t endMs = 0;
    std::optional<EventCallback> callback;
    std::uint32_t sentSeq = 0;
  };
  std::size_t heldBy(platform::Ipv4 host) const;

  const std::size_t capacity_;
  const std::size_t perHost_;
  mutable std::mutex lock_;
  std::map<std::string, Subscription, std::less<>> bySid_;
};

}  // namespace relay
