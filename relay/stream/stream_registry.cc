#include "relay/stream/stream_registry.h"

#include <algorithm>
#include <utility>

namespace relay {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
// The bit rate spans at least this long.
constexpr std::int64_t kRateSpanMs = 2000;

bool sameGroup(const GroupTotals& totals, const RegisteredReceiver& receiver) {
  return totals.group == receiver.group && totals.port == receiver.port &&
         totals.source == receiver.source;
}

}  // namespace

StreamRegistry::Registration& StreamRegistry::Registration::operator=(
    Registration&& other) noexcept {
  if (this != &other) {
    if (registry_) registry_->remove(id_);
    registry_ = std::exchange(other.registry_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

StreamRegistry::Registration::~Registration() {
  if (registry_) registry_->remove(id_);
}

StreamRegistry::Registration StreamRegistry::add(RegisteredReceiver receiver) {
  std::lock_guard guard(lock_);
  Registration registration;
  registration.registry_ = this;
  registration.id_ = nextId_++;
  const std::int64_t started = receiver.startedMs;
  entries_.push_back(Entry{registration.id_, std::move(receiver), started, started});
  return registration;
}

GroupTotals& StreamRegistry::totalsOf(const RegisteredReceiver& receiver) {
  for (GroupTotals& totals : ended_) {
    if (sameGroup(totals, receiver)) return totals;
  }
  if (ended_.size() >= kMostGroups) ended_.erase(ended_.begin());
  ended_.push_back(GroupTotals{receiver.group, receiver.port, receiver.source});
  return ended_.back();
}

void StreamRegistry::remove(std::uint64_t id) {
  std::lock_guard guard(lock_);
  const auto entry =
      std::find_if(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
  if (entry == entries_.end()) return;
  const RegisteredReceiver& receiver = entry->receiver;
  GroupTotals& totals = totalsOf(receiver);
  // Clients of one group share its receiver's counters: they are kept when
  // the last of them goes.
  const bool lastOfReceiver =
      std::none_of(entries_.begin(), entries_.end(), [&](const Entry& other) {
        return other.id != id && other.receiver.received == receiver.received;
      });
  if (receiver.received && lastOfReceiver) {
    totals.datagrams += receiver.received->datagrams.load(kRelaxed);
    totals.bytes += receiver.received->bytes.load(kRelaxed);
    totals.ccErrors += receiver.received->ccErrors.load(kRelaxed);
    totals.rtpGaps += receiver.received->rtpGaps.load(kRelaxed);
    totals.rtpReordered += receiver.received->rtpReordered.load(kRelaxed);
    totals.rtpDuplicates += receiver.received->rtpDuplicates.load(kRelaxed);
    totals.rtpLost += receiver.received->rtpLost.load(kRelaxed);
  }
  entries_.erase(entry);
}

StreamRegistry::Snapshot StreamRegistry::snapshot(std::int64_t nowMs) {
  std::lock_guard guard(lock_);
  Snapshot out;
  out.groups = ended_;
  for (GroupTotals& totals : out.groups) totals.receivers = 0;
  for (Entry& entry : entries_) {
    ReceiverSample sample;
    sample.receiver = entry.receiver;
    if (const auto& received = entry.receiver.received) {
      sample.datagramsReceived = received->datagrams.load(kRelaxed);
      sample.bytesReceived = received->bytes.load(kRelaxed);
      sample.ccErrors = received->ccErrors.load(kRelaxed);
      sample.rtpGaps = received->rtpGaps.load(kRelaxed);
      sample.rtpReordered = received->rtpReordered.load(kRelaxed);
      sample.rtpDuplicates = received->rtpDuplicates.load(kRelaxed);
      sample.rtpLost = received->rtpLost.load(kRelaxed);
    }
    if (const auto& sent = entry.receiver.sent) {
      sample.datagramsSent = sent->datagrams.load(kRelaxed);
      sample.bytesSent = sent->bytes.load(kRelaxed);
      sample.format = sent->format.load(kRelaxed);
    }
    if (nowMs - entry.newerMs >= kRateSpanMs) {
      entry.olderMs = entry.newerMs;
      entry.olderBytes = entry.newerBytes;
      entry.newerMs = nowMs;
      entry.newerBytes = sample.bytesSent;
    }
    if (nowMs > entry.olderMs) {
      sample.bitRate =
          (sample.bytesSent - entry.olderBytes) * 8000 / std::uint64_t(nowMs - entry.olderMs);
    }

    const RegisteredReceiver& receiver = entry.receiver;
    auto totals = std::find_if(out.groups.begin(), out.groups.end(),
                               [&](const GroupTotals& t) { return sameGroup(t, receiver); });
    if (totals == out.groups.end()) {
      out.groups.push_back(GroupTotals{receiver.group, receiver.port, receiver.source});
      totals = out.groups.end() - 1;
    }
    // A receiver shared by several clients counts once.
    const bool firstOfReceiver = std::none_of(
        out.receivers.begin(), out.receivers.end(),
        [&](const ReceiverSample& s) { return s.receiver.received == receiver.received; });
    if (firstOfReceiver) {
      totals->datagrams += sample.datagramsReceived;
      totals->bytes += sample.bytesReceived;
      totals->ccErrors += sample.ccErrors;
      totals->rtpGaps += sample.rtpGaps;
      totals->rtpReordered += sample.rtpReordered;
      totals->rtpDuplicates += sample.rtpDuplicates;
      totals->rtpLost += sample.rtpLost;
    }
    ++totals->receivers;
    out.receivers.push_back(std::move(sample));
  }
  return out;
}

StreamRegistry& streamRegistry() {
  // Never destroyed: a detached worker may still unregister at exit.
  static StreamRegistry* const registry = new StreamRegistry;
  return *registry;
}

}  // namespace relay
