#include "relay/upnp/subscription_table.h"

#include <algorithm>

#include "platform/uuid.h"

namespace relay {
namespace {

std::int64_t endOf(std::int64_t nowMs, std::uint32_t seconds) {
  return nowMs + std::int64_t(seconds) * 1000;
}

// Erases the entry closest to its end among those `among` picks.
template <typename Entries, typename Among>
void eraseNearestEnd(Entries& entries, Among among) {
  auto nearest = entries.end();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (among(it->second) &&
        (nearest == entries.end() || it->second.endMs < nearest->second.endMs)) {
      nearest = it;
    }
  }
  if (nearest != entries.end()) entries.erase(nearest);
}

}  // namespace

std::string SubscriptionTable::add(platform::Ipv4 host, std::string_view target,
                                   std::uint32_t seconds, std::int64_t nowMs,
                                   std::optional<EventCallback> callback) {
  std::string sid = "uuid:" + platform::newTimeUuid();
  std::lock_guard<std::mutex> hold(lock_);
  if (capacity_ == 0 || perHost_ == 0) return sid;
  if (bySid_.size() >= capacity_ || heldBy(host) >= perHost_) {
    std::erase_if(bySid_, [nowMs](const auto& entry) { return entry.second.endMs <= nowMs; });
  }
  if (heldBy(host) >= perHost_) {
    // A host that keeps subscribing displaces only its own.
    eraseNearestEnd(bySid_, [host](const Subscription& s) { return s.host == host; });
  } else if (bySid_.size() >= capacity_) {
    // Many hosts at once, or one with many addresses: the one holding the
    // most gives way before any other.
    std::map<platform::Ipv4, std::size_t> held;
    std::size_t most = 0;
    for (const auto& entry : bySid_) most = std::max(most, ++held[entry.second.host]);
    eraseNearestEnd(bySid_, [&held, most](const Subscription& s) { return held[s.host] == most; });
  }
  bySid_[sid] =
      Subscription{host, std::string(target), endOf(nowMs, seconds), std::move(callback), 0};
  return sid;
}

bool SubscriptionTable::renew(std::string_view sid, std::string_view target, std::uint32_t seconds,
                              std::int64_t nowMs) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = bySid_.find(sid);
  if (found == bySid_.end() || found->second.target != target) return false;
  if (found->second.endMs <= nowMs) {
    bySid_.erase(found);
    return false;
  }
  found->second.endMs = endOf(nowMs, seconds);
  return true;
}

void SubscriptionTable::remove(std::string_view sid, std::string_view target) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = bySid_.find(sid);
  if (found != bySid_.end() && found->second.target == target) bySid_.erase(found);
}

std::size_t SubscriptionTable::heldBy(platform::Ipv4 host) const {
  return std::size_t(std::count_if(bySid_.begin(), bySid_.end(), [host](const auto& entry) {
    return entry.second.host == host;
  }));
}

std::vector<SubscriptionTable::Delivery> SubscriptionTable::nextEvents(std::string_view target,
                                                                       std::int64_t nowMs) {
  std::vector<Delivery> out;
  std::lock_guard<std::mutex> hold(lock_);
  std::erase_if(bySid_, [nowMs](const auto& entry) { return entry.second.endMs <= nowMs; });
  for (auto& [sid, subscription] : bySid_) {
    if (subscription.target != target || !subscription.callback) continue;
    out.push_back({sid, *subscription.callback, ++subscription.sentSeq});
  }
  return out;
}

std::size_t SubscriptionTable::size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return bySid_.size();
}

}  // namespace relay
