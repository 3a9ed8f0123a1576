// A datagram on the tuner discovery port, as it comes and once more with its
// length field and CRC made right, so that the tags behind them are reached
// too. A frame that reads is written back byte for byte; a request that is
// answered gets a reply that reads back as the tuner it describes.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "relay/tuner/discovery_packet.h"

namespace {

constexpr std::uint32_t kOurId = 0x1013FADA;

void check(std::span<const std::uint8_t> datagram) {
  if (const auto frame = relay::readFrame(datagram)) {
    const std::vector<std::uint8_t> again = relay::writeFrame(frame->type, frame->tags);
    if (!std::equal(again.begin(), again.end(), datagram.begin(), datagram.end())) std::abort();
  }
  relay::parseDiscoverReply(datagram);
  const auto request = relay::parseDiscoverRequest(datagram, kOurId);
  if (!request) return;
  if (request->deviceId != kOurId && request->deviceId != relay::kDeviceIdWildcard) std::abort();

  relay::TunerIdentity tuner;
  tuner.deviceId = kOurId;
  tuner.tunerCount = std::uint8_t(datagram.size());
  tuner.baseUrl = "http://198.18.2.1:" + std::to_string(datagram.size());
  tuner.deviceAuth = relay::deviceAuthFor(tuner.baseUrl);
  const auto reply = relay::parseDiscoverReply(relay::buildDiscoverReply(tuner));
  if (!reply || reply->tuner.deviceId != kOurId || reply->tuner.tunerCount != tuner.tunerCount ||
      reply->tuner.baseUrl != tuner.baseUrl || reply->tuner.deviceAuth != tuner.deviceAuth ||
      reply->lineupUrl != tuner.baseUrl + "/lineup.json") {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check({data, size});
  if (size < 8 || size > relay::kMostFrameBytes) return 0;
  std::vector<std::uint8_t> mended(data, data + size);
  const std::size_t payload = size - 8;
  mended[2] = std::uint8_t(payload >> 8);
  mended[3] = std::uint8_t(payload);
  const std::uint32_t crc = std::uint32_t(crc32(0, mended.data(), uInt(size - 4)));
  for (int i = 0; i < 4; ++i) mended[size - 4 + i] = std::uint8_t(crc >> (8 * i));
  // Past the frame's checks, whatever the tags say.
  if (!relay::readFrame(mended) && payload == 0) std::abort();
  check(mended);
  return 0;
}
