// The network tuner's discovery datagrams (UDP port 65001). Every frame is
//   type (2 bytes, big-endian), payload length (2 bytes, big-endian),
//   payload, CRC-32 of all that (the Ethernet/zlib CRC, little-endian);
// the payload is a run of tags: a tag byte, its value's length (one byte
// below 128; from 128 on two bytes, the low 7 bits with 0x80 set, then the
// rest shifted down by 7), the value.
//
// Media centers broadcast a discover request and take every reply as a
// tuner: its id, how many streams it serves at once and where its HTTP side
// is. Everything here is pure, so the responder only moves datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace relay {

inline constexpr std::uint16_t kTunerDiscoveryPort = 65001;
// The largest frame either side sends (header, payload and CRC).
inline constexpr std::size_t kMostFrameBytes = 1460;

inline constexpr std::uint16_t kDiscoverRequest = 0x0002;
inline constexpr std::uint16_t kDiscoverReply = 0x0003;

namespace tunertag {
inline constexpr std::uint8_t kDeviceType = 0x01;
inline constexpr std::uint8_t kDeviceId = 0x02;
inline constexpr std::uint8_t kTunerCount = 0x10;
inline constexpr std::uint8_t kLineupUrl = 0x27;
inline constexpr std::uint8_t kBaseUrl = 0x2A;
inline constexpr std::uint8_t kDeviceAuth = 0x2B;
}  // namespace tunertag

inline constexpr std::uint32_t kDeviceTypeTuner = 0x00000001;
inline constexpr std::uint32_t kDeviceTypeWildcard = 0xFFFFFFFF;
inline constexpr std::uint32_t kDeviceIdWildcard = 0xFFFFFFFF;

// One tag of a payload; `value` points into the frame it was read from.
struct FrameTag {
  std::uint8_t tag;
  std::span<const std::uint8_t> value;
};

// A frame read whole: its type and tags, in order.
struct Frame {
  std::uint16_t type;
  std::vector<FrameTag> tags;
};

// Reads `datagram` as one frame: nothing when it is shorter than a header
// and CRC or longer than kMostFrameBytes, its length field disagrees with
// its size, the CRC is wrong, a tag's length is cut off or written in two
// bytes for less than 128, or a value runs past the payload.
std::optional<Frame> readFrame(std::span<const std::uint8_t> datagram);

// A frame of `type` with `tags` in order, the CRC appended.
std::vector<std::uint8_t> writeFrame(std::uint16_t type, std::span<const FrameTag> tags);

// What a discover request asked for: each the wildcard when the tag was
// left out.
struct DiscoverRequest {
  std::uint32_t deviceType = kDeviceTypeWildcard;
  std::uint32_t deviceId = kDeviceIdWildcard;
};

// A discover request (type 2) that the tuner `ourId` answers: its device
// type and id tags, when present, 4 bytes each and the tuner's or the
// wildcard (any other tag is skipped). Nothing for any other datagram.
std::optional<DiscoverRequest> parseDiscoverRequest(std::span<const std::uint8_t> datagram,
                                                    std::uint32_t ourId);

// What the reply says about the tuner.
struct TunerIdentity {
  std::uint32_t deviceId = 0;
  std::uint8_t tunerCount = 0;
  std::string baseUrl;  // "http://address:port", no slash at the end
  std::string deviceAuth;
};

// The discover reply (type 3): device type tuner, the id, the tuner count,
// the base URL, the lineup URL (the base URL and "/lineup.json") and the
// device auth string; strings without a terminating NUL.
std::vector<std::uint8_t> buildDiscoverReply(const TunerIdentity& tuner);

// A discover reply read back, as a media center reads it: nothing unless the
// frame is whole, of type 3, and carries a 4-byte device type and id. A
// string tag's value is taken as it is; an absent one is empty.
struct DiscoverReply {
  std::uint32_t deviceType = 0;
  TunerIdentity tuner;
  std::string lineupUrl;
};
std::optional<DiscoverReply> parseDiscoverReply(std::span<const std::uint8_t> datagram);

// Device ids carry a check: the nibbles from the top, every other one
// through a fixed 16-entry table, XORed together, give 0. Media centers
// refuse an id that fails it. (0 and the wildcard pass it too, and are no
// device's id.)
bool deviceIdValid(std::uint32_t id);

// What makes the tuner's id and auth string the same on every run: the
// machine id and the address and port the relay listens on, as the media
// server's UUID is named.
std::string tunerSeed(std::string_view machineId, std::string_view listenAddress,
                      std::uint16_t port);

// A device id named after `seed`: seven nibbles of its hash and the check
// nibble, never 0 or the wildcard.
std::uint32_t deviceIdFor(std::string_view seed);

// An opaque 24-character [A-Za-z0-9] string named after `seed`.
std::string deviceAuthFor(std::string_view seed);

}  // namespace relay
