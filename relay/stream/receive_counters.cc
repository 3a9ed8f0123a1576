#include "relay/stream/receive_counters.h"

#include "relay/stream/ts_probe.h"

namespace relay {
namespace {

constexpr std::size_t kPrefixedSize = 192;
constexpr unsigned kNullPid = 0x1fff;

bool isRtp(const unsigned char* bytes, std::size_t size) {
  return size >= 12 && (bytes[0] & 0xc0) == 0x80;
}

}  // namespace

void ContinuityCheck::datagram(const unsigned char* bytes, std::size_t size, Found& found) {
  std::size_t at = 0;
  std::size_t stride = kTsPacketSize;
  if (size >= kTsPacketSize && size % kTsPacketSize == 0 && bytes[0] == kTsSync) {
    // plain transport stream (a prefix may happen to be a sync byte, but
    // seven 192-byte packets are not a multiple of 188)
  } else if (size >= kPrefixedSize && size % kPrefixedSize == 0 && bytes[4] == kTsSync) {
    at = 4;
    stride = kPrefixedSize;
  } else if (isRtp(bytes, size)) {
    const std::int32_t sequence = std::int32_t(bytes[2]) << 8 | bytes[3];
    if (lastSequence_ >= 0 && sequence != ((lastSequence_ + 1) & 0xffff)) ++found.rtpGaps;
    lastSequence_ = sequence;
    at = rtpHeaderLength(bytes, size, 0);
  } else {
    return;
  }
  for (; at + kTsPacketSize <= size && bytes[at] == kTsSync; at += stride)
    packet(bytes + at, found);
}

void ContinuityCheck::packet(const unsigned char* packet, Found& found) {
  const unsigned pid = unsigned(packet[1] & 0x1f) << 8 | packet[2];
  const unsigned control = packet[3] >> 4 & 3;
  // Only packets with a payload advance the counter.
  if (pid == kNullPid || (control & 1) == 0) return;
  const std::uint8_t counter = packet[3] & 0x0f;
  const bool discontinuity = control == 3 && packet[4] > 0 && (packet[5] & 0x80) != 0;
  std::uint8_t& state = pids_[pid];
  if (state == kUnseen || discontinuity) {
    state = counter;
    return;
  }
  const std::uint8_t last = state & 0x0f;
  if (counter == last) {
    // One repeat is allowed; a further one is an error.
    if ((state & kRepeated) != 0) ++found.ccErrors;
    state |= kRepeated;
    return;
  }
  if (counter != ((last + 1) & 0x0f)) ++found.ccErrors;
  state = counter;
}

}  // namespace relay
