#include "relay/upnp/subscription_table.h"

#include <algorithm>

#include "platform/uuid.h"

namespace relay {
namespace {

std::int64_t endOf(std::int64_t nowMs, std::uint32_t seconds) {
  return nowMs + std::int64_t(seconds) * 1000;
}

}  // namespace

std::string SubscriptionTable::add(std::string_view target, std::uint32_t seconds,
                                   std::int64_t nowMs) {
  std::string sid = "uuid:" + platform::newTimeUuid();
  std::lock_guard<std::mutex> hold(lock_);
  if (capacity_ == 0) return sid;
  if (bySid_.size() >= capacity_) {
    std::erase_if(bySid_, [nowMs](const auto& entry) { return entry.second.endMs <= nowMs; });
  }
  if (bySid_.size() >= capacity_) {
    bySid_.erase(std::min_element(bySid_.begin(), bySid_.end(), [](const auto& a, const auto& b) {
      return a.second.endMs < b.second.endMs;
    }));
  }
  bySid_[sid] = Subscription{std::string(target), endOf(nowMs, seconds)};
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

std::size_t SubscriptionTable::size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return bySid_.size();
}

}  // namespace relay
