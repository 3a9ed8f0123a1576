// The first chunk of a multicast source through the format probe, and any
// datagram through the RTP payload and the layout the receiving thread
// reads: every span lies inside the datagram, whole packets only.
#include <cstdint>
#include <cstdlib>

#include "relay/stream/ts_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const std::optional<relay::ProbeResult> probe = relay::probeFirstChunk(data, size)) {
    if (probe->stride == 0) std::abort();
    if (probe->format == relay::StreamFormat::Rtp &&
        (probe->packetsPerDatagram < 1 || probe->packetsPerDatagram > 9)) {
      std::abort();
    }
  }
  for (std::size_t at = 0; at < size && at < 64; at += 13) {
    relay::rtpHeaderLength(data, size, at);
  }

  const relay::Payload payload = relay::rtpPayload(data, size);
  if (payload.length % relay::kTsPacketSize != 0) std::abort();
  if (payload.length != 0 && payload.offset + payload.length > size) std::abort();
  if (const std::optional<relay::DatagramLayout> layout = relay::datagramLayout(data, size)) {
    if (layout->stride < relay::kTsPacketSize || layout->prefix > layout->first) std::abort();
  }
  return 0;
}
