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

// Empty when the chunk is neither transport stream nor RTP-carried
// transport stream.
std::optional<ProbeResult> probeFirstChunk(const unsigned char* bytes, std::size_t size);

// The RTP header length at `at`: the fixed 12 bytes, the CSRC list and the
// extension header. When the extension length lies beyond `size`, a length
// that reaches past the end.
std::size_t rtpHeaderLength(const unsigned char* bytes, std::size_t size, std::size_t at);

// Copies the transport stream packets of a chunk of whole RTP datagrams to
// `out` and returns the bytes written (a multiple of 188, never more than
// `size`). `out` may be `bytes` itself: the conversion works in place.
std::size_t convertRtpChunk(const unsigned char* bytes, std::size_t size, unsigned char* out);

}  // namespace relay
