#include "relay/stream/receive_counters.h"

#include "relay/stream/ts_probe.h"

namespace relay {
namespace {

constexpr unsigned kNullPid = 0x1fff;

}  // namespace

void ContinuityCheck::datagram(const unsigned char* bytes, std::size_t size, Found& found) {
  if (const std::optional<DatagramLayout> layout = datagramLayout(bytes, size))
    datagram(bytes, size, *layout, found);
}

void ContinuityCheck::datagram(const unsigned char* bytes, std::size_t size,
                               const DatagramLayout& layout, Found& found) {
  if (layout.rtp) {
    const std::int32_t sequence = std::int32_t(bytes[2]) << 8 | bytes[3];
    if (lastSequence_ >= 0 && sequence != ((lastSequence_ + 1) & 0xffff)) ++found.rtpGaps;
    lastSequence_ = sequence;
  }
  for (std::size_t at = layout.first; at + kTsPacketSize <= size && bytes[at] == kTsSync;
       at += layout.stride)
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
