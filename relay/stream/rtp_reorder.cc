#include "relay/stream/rtp_reorder.h"

#include <algorithm>

namespace relay {
namespace {

// Held copies larger than this are freed once passed on, so a sender of
// the largest datagrams does not keep that much in every slot.
constexpr std::size_t kKeptCopyBytes = 16384;

std::uint32_t powerOfTwoAtLeast(std::uint32_t n) {
  std::uint32_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

// How far `to` lies after `from`, negative when before (mod 65536).
int distance(std::uint16_t from, std::uint16_t to) {
  return std::int16_t(std::uint16_t(to - from));
}

}  // namespace

RtpReorder::RtpReorder(std::uint32_t window)
    : window_(std::clamp<std::uint32_t>(window, 1, kMostWindow)),
      lateSpan_(std::max(int(window_), kMostLate)),
      recordMask_(std::uint16_t(powerOfTwoAtLeast(window_ + std::uint32_t(lateSpan_)) - 1)),
      heldMask_(std::uint16_t(powerOfTwoAtLeast(window_) - 1)),
      records_(std::size_t(recordMask_) + 1),
      heldData_(std::size_t(heldMask_) + 1) {}

void RtpReorder::arrive(std::uint16_t sequence, const unsigned char* bytes, std::size_t size,
                        std::int64_t nowMs, Sink& out) {
  if (!started_) {
    started_ = true;
    passed(sequence);
    out.datagram(bytes, size);
    return;
  }
  if (held_ == 0) newest_ = std::uint16_t(next_ - 1);
  const int ahead = distance(next_, sequence);
  if (ahead < 0 && -ahead <= lateSpan_) {
    const Record& record = records_[sequence & recordMask_];
    if (record.sequence == sequence && record.state == State::Passed) ++counts_.duplicates;
    return;  // a copy, or too late: its gap was given up
  }
  if (ahead < 0 || ahead >= kMostJump) {
    flushAll(out);
    std::fill(records_.begin(), records_.end(), Record{});
    passed(sequence);
    out.datagram(bytes, size);
    return;
  }
  const Record& record = records_[sequence & recordMask_];
  if (record.sequence == sequence && record.state == State::Held) {
    ++counts_.duplicates;
    return;
  }
  if (distance(newest_, sequence) < 0) {
    ++counts_.reordered;
  } else {
    newest_ = sequence;
  }
  // A whole window ahead: the oldest gaps are given up until it fits; once
  // nothing is held, the rest at once (a step each would cost a hostile
  // sender's every datagram thousands of them).
  while (distance(next_, sequence) >= int(window_)) {
    if (held_ == 0) {
      const int skipped = distance(next_, sequence) - int(window_) + 1;
      counts_.lost += std::uint64_t(skipped);
      next_ = std::uint16_t(next_ + skipped);
      break;
    }
    step(out);
  }
  flush(out);
  if (sequence == next_) {
    passed(sequence);
    out.datagram(bytes, size);
    flush(out);
    return;
  }
  Held& held = heldData_[sequence & heldMask_];
  held.bytes.assign(bytes, bytes + size);
  held.cameMs = nowMs;
  records_[sequence & recordMask_] = Record{sequence, State::Held};
  ++held_;
}

void RtpReorder::step(Sink& out) {
  const std::uint16_t sequence = next_;
  Record& record = records_[sequence & recordMask_];
  if (record.sequence == sequence && record.state == State::Held) {
    Held& held = heldData_[sequence & heldMask_];
    record.state = State::Passed;
    --held_;
    next_ = std::uint16_t(sequence + 1);
    out.datagram(held.bytes.data(), held.bytes.size());
    if (held.bytes.capacity() > kKeptCopyBytes) std::vector<unsigned char>().swap(held.bytes);
    return;
  }
  record = Record{sequence, State::Skipped};
  ++counts_.lost;
  next_ = std::uint16_t(sequence + 1);
}

void RtpReorder::flush(Sink& out) {
  while (held_ != 0) {
    const Record& record = records_[next_ & recordMask_];
    if (record.sequence != next_ || record.state != State::Held) return;
    step(out);
  }
}

void RtpReorder::flushAll(Sink& out) {
  while (held_ != 0) step(out);
}

std::int64_t RtpReorder::expire(std::int64_t nowMs, Sink& out) {
  if (held_ == 0) return kNoDeadline;
  // The furthest datagram held long enough goes on, and all before it.
  std::uint32_t through = 0;
  for (std::uint32_t i = 0, seen = 0; i < window_ && seen < held_; ++i) {
    const std::uint16_t sequence = std::uint16_t(next_ + i);
    const Record& record = records_[sequence & recordMask_];
    if (record.sequence != sequence || record.state != State::Held) continue;
    ++seen;
    if (heldData_[sequence & heldMask_].cameMs + kMostHoldMs <= nowMs) through = i + 1;
  }
  for (; through > 0; --through) step(out);
  flush(out);
  std::int64_t oldest = kNoDeadline;
  for (std::uint32_t i = 0, seen = 0; i < window_ && seen < held_; ++i) {
    const std::uint16_t sequence = std::uint16_t(next_ + i);
    const Record& record = records_[sequence & recordMask_];
    if (record.sequence != sequence || record.state != State::Held) continue;
    ++seen;
    oldest = std::min(oldest, heldData_[sequence & heldMask_].cameMs);
  }
  return oldest == kNoDeadline ? kNoDeadline : oldest + kMostHoldMs;
}

}  // namespace relay
