// The event subscriptions the relay has granted, so that a renewal keeps its
// SID and a renewal of one it never granted, or of one that has lapsed, is
// refused. Bounded: a LAN host that subscribes without end displaces the
// subscriptions closest to their end, and costs no more memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace relay {

// Each entry is a SID, a target and an end time: a few hundred cost a few
// dozen kilobytes, and are more than the control points of a home network.
inline constexpr std::size_t kMostSubscriptions = 512;

// Safe to use from several connection workers at once.
class SubscriptionTable {
 public:
  explicit SubscriptionTable(std::size_t capacity = kMostSubscriptions) : capacity_(capacity) {}

  // A new subscription to `target` for `seconds` from `nowMs` (monotonic
  // milliseconds): its new SID, "uuid:" and a time-based UUID. A full table
  // first forgets the lapsed ones, then the one closest to its end.
  std::string add(std::string_view target, std::uint32_t seconds, std::int64_t nowMs);
  // Extends the subscription `sid` to `target` to `seconds` from `nowMs`;
  // false when there is no such subscription or it has lapsed.
  bool renew(std::string_view sid, std::string_view target, std::uint32_t seconds,
             std::int64_t nowMs);
  // Forgets the subscription `sid` to `target`, when there is one.
  void remove(std::string_view sid, std::string_view target);
  std::size_t size() const;

 private:
  struct Subscription {
    std::string target;
    std::int64_t endMs = 0;
  };
  const std::size_t capacity_;
  mutable std::mutex lock_;
  std::map<std::string, Subscription, std::less<>> bySid_;
};

}  // namespace relay
