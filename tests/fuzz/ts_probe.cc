// The first chunk of a multicast source through the format probe, and any
// chunk through the RTP conversion, in place and into a separate buffer:
// both must give the same bare packets, never more bytes than came in.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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

  std::vector<unsigned char> inPlace(data, data + size);
  std::vector<unsigned char> separate(size);
  const std::size_t written = relay::convertRtpChunk(inPlace.data(), size, inPlace.data());
  const std::size_t copied = relay::convertRtpChunk(data, size, separate.data());
  if (written != copied || written > size || written % relay::kTsPacketSize != 0) std::abort();
  if (written != 0 && std::memcmp(inPlace.data(), separate.data(), written) != 0) std::abort();
  return 0;
}
