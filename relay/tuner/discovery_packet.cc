#include "relay/tuner/discovery_packet.h"

#include <zlib.h>

#include <array>

#include "platform/uuid.h"

namespace relay {
namespace {

constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kCrcBytes = 4;

// The namespace of the tuner's names: its id and auth string are name-based
// UUIDs of the seed in it, cut down.
constexpr std::string_view kTunerNamespace = "0672FF86-3E5E-44D6-85BE-0C2BFAD1D9E0";

// The check of a device id: the table the odd nibbles (counted from the top,
// the first being 1) go through.
constexpr std::array<std::uint8_t, 16> kCheckTable = {0xA, 0x5, 0xF, 0x6, 0x7, 0xC, 0x1, 0xB,
                                                      0x9, 0x2, 0x8, 0xD, 0x4, 0x3, 0xE, 0x0};

std::uint32_t crcOf(std::span<const std::uint8_t> bytes) {
  return std::uint32_t(::crc32(::crc32(0, nullptr, 0), bytes.data(), uInt(bytes.size())));
}

std::uint32_t readU32(std::span<const std::uint8_t> value) {
  return std::uint32_t(value[0]) << 24 | std::uint32_t(value[1]) << 16 |
         std::uint32_t(value[2]) << 8 | value[3];
}

void writeU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(std::uint8_t(value >> 8));
  out.push_back(std::uint8_t(value));
}

std::array<std::uint8_t, 4> bigEndian(std::uint32_t value) {
  return {std::uint8_t(value >> 24), std::uint8_t(value >> 16), std::uint8_t(value >> 8),
          std::uint8_t(value)};
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The check nibble that makes the seven upper nibbles of `id` a valid id:
// the XOR of the others, since the last nibble goes in as it is.
std::uint8_t checkNibble(std::uint32_t id) {
  std::uint8_t check = 0;
  for (int position = 0; position < 7; ++position) {
    const std::uint8_t nibble = std::uint8_t(id >> (28 - 4 * position) & 0xF);
    check ^= position % 2 == 0 ? kCheckTable[nibble] : nibble;
  }
  return check;
}

// The hash bytes of `name` in the tuner's namespace, less the version and
// variant bytes of the UUID, which are fixed in part: 14 bytes.
std::vector<std::uint8_t> hashBytes(std::string_view name) {
  const std::string uuid = platform::nameUuid(kTunerNamespace, name);
  std::vector<std::uint8_t> bytes;
  int high = -1;
  int index = 0;
  for (const char c : uuid) {
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      value = c - 'A' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = value;
      continue;
    }
    if (index != 6 && index != 8) bytes.push_back(std::uint8_t(high << 4 | value));
    high = -1;
    ++index;
  }
  return bytes;
}

}  // namespace

std::optional<Frame> readFrame(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kHeaderBytes + kCrcBytes || datagram.size() > kMostFrameBytes) {
    return std::nullopt;
  }
  const std::size_t payloadLength = std::size_t(datagram[2]) << 8 | datagram[3];
  if (payloadLength != datagram.size() - kHeaderBytes - kCrcBytes) return std::nullopt;
  const std::size_t crcAt = kHeaderBytes + payloadLength;
  const std::uint32_t crc =
      std::uint32_t(datagram[crcAt]) | std::uint32_t(datagram[crcAt + 1]) << 8 |
      std::uint32_t(datagram[crcAt + 2]) << 16 | std::uint32_t(datagram[crcAt + 3]) << 24;
  if (crc != crcOf(datagram.first(crcAt))) return std::nullopt;

  Frame frame{std::uint16_t(datagram[0] << 8 | datagram[1]), {}};
  const std::span<const std::uint8_t> payload = datagram.subspan(kHeaderBytes, payloadLength);
  std::size_t at = 0;
  while (at < payload.size()) {
    const std::uint8_t tag = payload[at++];
    if (at >= payload.size()) return std::nullopt;
    std::size_t length = payload[at++];
    if (length & 0x80) {
      if (at >= payload.size()) return std::nullopt;
      length = (length & 0x7F) | std::size_t(payload[at++]) << 7;
      // The two-byte form is for 128 and more only.
      if (length < 0x80) return std::nullopt;
    }
    if (length > payload.size() - at) return std::nullopt;
    frame.tags.push_back({tag, payload.subspan(at, length)});
    at += length;
  }
  return frame;
}

std::vector<std::uint8_t> writeFrame(std::uint16_t type, std::span<const FrameTag> tags) {
  std::vector<std::uint8_t> frame;
  writeU16(frame, type);
  writeU16(frame, 0);
  for (const FrameTag& tag : tags) {
    frame.push_back(tag.tag);
    const std::size_t length = tag.value.size();
    if (length < 0x80) {
      frame.push_back(std::uint8_t(length));
    } else {
      frame.push_back(std::uint8_t(0x80 | (length & 0x7F)));
      frame.push_back(std::uint8_t(length >> 7));
    }
    frame.insert(frame.end(), tag.value.begin(), tag.value.end());
  }
  const std::size_t payloadLength = frame.size() - kHeaderBytes;
  frame[2] = std::uint8_t(payloadLength >> 8);
  frame[3] = std::uint8_t(payloadLength);
  const std::uint32_t crc = crcOf(frame);
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(std::uint8_t(crc >> shift));
  return frame;
}

std::optional<DiscoverRequest> parseDiscoverRequest(std::span<const std::uint8_t> datagram,
                                                    std::uint32_t ourId) {
  const std::optional<Frame> frame = readFrame(datagram);
  if (!frame || frame->type != kDiscoverRequest) return std::nullopt;
  DiscoverRequest request;
  for (const FrameTag& tag : frame->tags) {
    if (tag.tag != tunertag::kDeviceType && tag.tag != tunertag::kDeviceId) continue;
    if (tag.value.size() != 4) return std::nullopt;
    const std::uint32_t value = readU32(tag.value);
    if (tag.tag == tunertag::kDeviceType) {
      if (value != kDeviceTypeTuner && value != kDeviceTypeWildcard) return std::nullopt;
      request.deviceType = value;
    } else {
      if (value != ourId && value != kDeviceIdWildcard) return std::nullopt;
      request.deviceId = value;
    }
  }
  return request;
}

std::vector<std::uint8_t> buildDiscoverReply(const TunerIdentity& tuner) {
  const auto type = bigEndian(kDeviceTypeTuner);
  const auto id = bigEndian(tuner.deviceId);
  const std::uint8_t count[] = {tuner.tunerCount};
  const std::string lineupUrl = tuner.baseUrl + "/lineup.json";
  const FrameTag tags[] = {
      {tunertag::kDeviceType, type},
      {tunertag::kDeviceId, id},
      {tunertag::kTunerCount, count},
      {tunertag::kBaseUrl, bytesOf(tuner.baseUrl)},
      {tunertag::kLineupUrl, bytesOf(lineupUrl)},
      {tunertag::kDeviceAuth, bytesOf(tuner.deviceAuth)},
  };
  return writeFrame(kDiscoverReply, tags);
}

std::optional<DiscoverReply> parseDiscoverReply(std::span<const std::uint8_t> datagram) {
  const std::optional<Frame> frame = readFrame(datagram);
  if (!frame || frame->type != kDiscoverReply) return std::nullopt;
  DiscoverReply reply;
  bool typeSeen = false;
  bool idSeen = false;
  const auto text = [](std::span<const std::uint8_t> value) {
    return std::string(value.begin(), value.end());
  };
  for (const FrameTag& tag : frame->tags) {
    switch (tag.tag) {
      case tunertag::kDeviceType:
        if (tag.value.size() != 4) return std::nullopt;
        reply.deviceType = readU32(tag.value);
        typeSeen = true;
        break;
      case tunertag::kDeviceId:
        if (tag.value.size() != 4) return std::nullopt;
        reply.tuner.deviceId = readU32(tag.value);
        idSeen = true;
        break;
      case tunertag::kTunerCount:
        if (tag.value.size() != 1) return std::nullopt;
        reply.tuner.tunerCount = tag.value[0];
        break;
      case tunertag::kBaseUrl:
        reply.tuner.baseUrl = text(tag.value);
        break;
      case tunertag::kLineupUrl:
        reply.lineupUrl = text(tag.value);
        break;
      case tunertag::kDeviceAuth:
        reply.tuner.deviceAuth = text(tag.value);
        break;
      default:
        break;
    }
  }
  if (!typeSeen || !idSeen) return std::nullopt;
  return reply;
}

bool deviceIdValid(std::uint32_t id) {
  return checkNibble(id) == (id & 0xF);
}

std::string tunerSeed(std::string_view machineId, std::string_view listenAddress,
                      std::uint16_t port) {
  std::string seed(machineId);
  seed += ' ';
  seed += listenAddress;
  seed += ':';
  seed += std::to_string(port);
  return seed;
}

std::uint32_t deviceIdFor(std::string_view seed) {
  const std::vector<std::uint8_t> hash = hashBytes("id " + std::string(seed));
  // Seven nibbles from a window of the hash; the next window when they
  // would make 0 or the wildcard (all 0 or all F).
  for (std::size_t at = 0; at + 4 <= hash.size(); ++at) {
    std::uint32_t id = readU32(std::span(hash).subspan(at, 4)) & ~0xFu;
    id |= checkNibble(id);
    if (id != 0 && id != kDeviceIdWildcard) return id;
  }
  // Not reached for any real hash; a fixed valid id all the same.
  return 0x10000000u | checkNibble(0x10000000u);
}

std::string deviceAuthFor(std::string_view seed) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::vector<std::uint8_t> hash = hashBytes("auth " + std::string(seed));
  const std::vector<std::uint8_t> more = hashBytes("auth more " + std::string(seed));
  hash.insert(hash.end(), more.begin(), more.end());
  std::string auth;
  for (std::size_t i = 0; i < hash.size() && auth.size() < 24; ++i) {
    auth += kAlphabet[hash[i] % kAlphabet.size()];
  }
  // Only short when the namespace were no UUID.
  auth.resize(24, 'A');
  return auth;
}

}  // namespace relay
