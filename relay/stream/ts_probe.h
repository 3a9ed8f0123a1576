// Recognising what a multicast source sends, from the first chunk: a plain
// transport stream (188-byte packets, or a larger stride), a transport
// stream whose packets carry a 4-byte prefix (192-byte packets), or RTP
// carrying transport stream packets; and turning RTP chunks into bare
// transport stream packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace relay {

inline constexpr std::size_t kTsPacketSize = 188;
inline constexpr unsigned char kTsSync = 0x47;

enum class StreamFormat { PlainTs, PrefixedTs, Rtp };

struct ProbeResult {
  StreamFormat format;
  std::size_t stride;
  // RTP only: transport stream packets in the first datagram.
  std::size_t packetsPerDatagram = 0;
};

// Where the transport stream packets of one received datagram lie: from
// `first`, `stride` bytes apart, each unit (prefix included) starting
// `prefix` bytes before its packet. Plain packets start at 0 and lie 188
// apart, prefixed ones 192 apart from 4, RTP-carried ones 188 apart after
// the RTP header.
struct DatagramLayout {
  std::size_t first = 0;
  std::size_t stride = kTsPacketSize;
  std::size_t prefix = 0;
  bool rtp = false;
};
// Empty for a datagram that is none of the three.
std::optional<DatagramLayout> datagramLayout(const unsigned char* bytes, std::size_t size);

// Empty when the chunk is neither transport stream nor RTP-carried
// transport stream.
std::optional<ProbeResult> probeFirstChunk(const unsigned char* bytes, std::size_t size);

// The RTP header length at `at`: the fixed 12 bytes, the CSRC list and the
// extension header. When the extension length lies beyond `size`, a length
// that reaches past the end.
std::size_t rtpHeaderLength(const unsigned char* bytes, std::size_t size, std::size_t at);

// The transport stream packets of one whole RTP datagram: from after its
// header, every whole packet (a cut-short last one left out). A datagram
// that starts with a sync byte carries no header. Empty when nothing fits.
struct Payload {
  std::size_t offset = 0;
  std::size_t length = 0;
};
Payload rtpPayload(const unsigned char* datagram, std::size_t size);

}  // namespace relay
