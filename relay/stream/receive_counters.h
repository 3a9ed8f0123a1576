// What a receiver counts as the datagrams pass: datagrams and bytes, and the
// losses the stream itself shows, transport stream continuity-counter errors
// and RTP sequence gaps (in what goes on to the clients, after the reorder
// window), and what the window did: RTP datagrams that came out of order,
// copies dropped, datagrams given up as lost. The receiving thread alone
// writes them (relaxed atomics, once per receive batch); the status pages
// read them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "relay/stream/ts_probe.h"

namespace relay {

struct ReceiveCounters {
  std::atomic<std::uint64_t> datagrams{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> ccErrors{0};
  std::atomic<std::uint64_t> rtpGaps{0};
  std::atomic<std::uint64_t> rtpReordered{0};
  std::atomic<std::uint64_t> rtpDuplicates{0};
  std::atomic<std::uint64_t> rtpLost{0};
};

// What a stream sender or a forwarder has sent on; `format` is the probe's
// StreamFormat as an int once known, -1 before.
struct SendCounters {
  std::atomic<std::uint64_t> datagrams{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<int> format{-1};
};

// The continuity of one received group, checked datagram by datagram on the
// receiving thread: plain, 192-byte prefixed or RTP-carried transport
// stream. Per PID, each packet with a payload must carry the previous
// counter + 1 (mod 16); one repeat of a packet is allowed, packets without
// payload and the null PID are skipped, the first packet of a PID and one
// flagged as a discontinuity set the counter afresh. RTP sequence numbers
// must rise by 1 (mod 65536).
class ContinuityCheck {
 public:
  ContinuityCheck() { pids_.fill(kUnseen); }

  struct Found {
    std::uint64_t ccErrors = 0;
    std::uint64_t rtpGaps = 0;
  };
  // Adds what one datagram shows to `found`.
  void datagram(const unsigned char* bytes, std::size_t size, Found& found);
  // The same for a datagram whose layout is known.
  void datagram(const unsigned char* bytes, std::size_t size, const DatagramLayout& layout,
                Found& found);

 private:
  static constexpr std::uint8_t kUnseen = 0xff;
  static constexpr std::uint8_t kRepeated = 0x10;
  void packet(const unsigned char* packet, Found& found);

  // Per PID: its last counter, kRepeated once that packet came twice.
  std::array<std::uint8_t, 8192> pids_;
  std::int32_t lastSequence_ = -1;
};

}  // namespace relay
