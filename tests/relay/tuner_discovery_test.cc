#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "platform/lan_subnet.h"
#include "relay/tuner/discovery_packet.h"
#include "relay/tuner/discovery_responder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kOurId = 0x1013FADA;

Bytes withCrc(Bytes frame) {
  const std::uint32_t crc = std::uint32_t(crc32(0, frame.data(), uInt(frame.size())));
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(std::uint8_t(crc >> shift));
  return frame;
}

// A frame of `type` around `payload`, its length field and CRC right.
Bytes frame(std::uint16_t type, const Bytes& payload) {
  Bytes bytes = {std::uint8_t(type >> 8), std::uint8_t(type), std::uint8_t(payload.size() >> 8),
                 std::uint8_t(payload.size())};
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return withCrc(bytes);
}

Bytes u32Tag(std::uint8_t tag, std::uint32_t value) {
  return {tag,
          4,
          std::uint8_t(value >> 24),
          std::uint8_t(value >> 16),
          std::uint8_t(value >> 8),
          std::uint8_t(value)};
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A tag whose value is `length` bytes, its length in the `lengthBytes` given.
Bytes rawTag(std::uint8_t tag, Bytes lengthBytes, std::size_t length) {
  lengthBytes.insert(lengthBytes.begin(), tag);
  lengthBytes.resize(lengthBytes.size() + length, 'x');
  return lengthBytes;
}

TEST(TunerDiscoveryPacket, RequestsAnsweredAndRefused) {
  // What `hdhomerun_config discover` sends, as captured in the lab: both
  // wildcards, the CRC little-endian.
  const Bytes client = {0x00, 0x02, 0x00, 0x0c, 0x01, 0x04, 0xff, 0xff, 0xff, 0xff,
                        0x02, 0x04, 0xff, 0xff, 0xff, 0xff, 0x73, 0xcc, 0x7d, 0x8f};
  const Bytes wildcards = join({u32Tag(0x01, 0xFFFFFFFF), u32Tag(0x02, 0xFFFFFFFF)});
  const Bytes ours = join({u32Tag(0x01, 1), u32Tag(0x02, kOurId)});
  Bytes badCrc = frame(2, wildcards);
  badCrc.back() ^= 0x01;
  Bytes longerField = frame(2, wildcards);
  longerField[3] += 1;
  Bytes shorterField = frame(2, wildcards);
  shorterField[3] -= 1;
  Bytes trailing = frame(2, wildcards);
  trailing.push_back(0);

  struct Case {
    const char* what;
    Bytes datagram;
    bool answered;
    std::uint32_t type = 0xFFFFFFFF;
    std::uint32_t id = 0xFFFFFFFF;
  };
  const Case cases[] = {
      {"the real client's request", client, true},
      {"wildcards", frame(2, wildcards), true},
      {"tuner, our id", frame(2, ours), true, 1, kOurId},
      {"no tags at all", frame(2, {}), true},
      {"unknown tags skipped, 2-byte lengths too",
       frame(2, join({rawTag(0x77, {0x05}, 5), rawTag(0x78, {0x80 | 72, 0x01}, 200), ours})), true,
       1, kOurId},
      {"another valid id", frame(2, u32Tag(0x02, 0x1038DC2B)), false},
      {"another device type", frame(2, u32Tag(0x01, 5)), false},
      {"our id in a second id tag", frame(2, join({u32Tag(0x02, 0x1038DC2B), ours})), false},
      {"a 3-byte id", frame(2, {0x02, 3, 0x10, 0x13, 0xFA}), false},
      {"a reply, not a request", frame(3, wildcards), false},
      {"bad CRC", badCrc, false},
      {"length field past the datagram", longerField, false},
      {"length field short of the datagram", shorterField, false},
      {"a byte after the CRC", trailing, false},
      {"header and CRC cut", Bytes{0x00, 0x02, 0x00, 0x00, 0x01, 0x02, 0x03}, false},
      {"a tag without its length", frame(2, join({wildcards, {0x05}})), false},
      {"a value running past the payload", frame(2, join({wildcards, {0x05, 0x04, 1, 2, 3}})),
       false},
      // The length's edges: 127 in one byte, 128 in two; two bytes for less
      // than 128; the second byte missing; a length far past the end.
      {"length 127 in one byte", frame(2, rawTag(0x77, {0x7F}, 127)), true},
      {"length 128 in two bytes", frame(2, rawTag(0x77, {0x80, 0x01}, 128)), true},
      {"length 5 in two bytes", frame(2, rawTag(0x77, {0x85, 0x00}, 5)), false},
      {"two-byte length cut", frame(2, {0x77, 0x80}), false},
      {"length 16383", frame(2, rawTag(0x77, {0xFF, 0x7F}, 200)), false},
      {"a frame of 1461 bytes", frame(2, rawTag(0x77, {0x80 | (1450 & 0x7F), 1450 >> 7}, 1450)),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto request = relay::parseDiscoverRequest(c.datagram, kOurId);
    ASSERT_EQ(request.has_value(), c.answered);
    if (request) {
      EXPECT_EQ(request->deviceType, c.type);
      EXPECT_EQ(request->deviceId, c.id);
    }
  }
}

TEST(TunerDiscoveryPacket, ReplyReadsBack) {
  relay::TunerIdentity tuner;
  tuner.deviceId = kOurId;
  tuner.tunerCount = 64;
  tuner.baseUrl = "http://198.18.2.1:2901";
  tuner.deviceAuth = "abcdefghijklmnopqrstuvwx";
  // The second one's URLs take two-byte lengths.
  relay::TunerIdentity longer = tuner;
  longer.baseUrl = "http://" + std::string(150, 'h') + ":2901";
  for (const relay::TunerIdentity& t : {tuner, longer}) {
    const Bytes reply = relay::buildDiscoverReply(t);
    EXPECT_FALSE(relay::parseDiscoverRequest(reply, kOurId));
    const auto read = relay::parseDiscoverReply(reply);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->deviceType, relay::kDeviceTypeTuner);
    EXPECT_EQ(read->tuner.deviceId, t.deviceId);
    EXPECT_EQ(read->tuner.tunerCount, t.tunerCount);
    EXPECT_EQ(read->tuner.baseUrl, t.baseUrl);
    EXPECT_EQ(read->lineupUrl, t.baseUrl + "/lineup.json");
    EXPECT_EQ(read->tuner.deviceAuth, t.deviceAuth);
  }
}

TEST(TunerDeviceId, CheckAndNaming) {
  // As `hdhomerun_config <id> get` judges them: it refuses the invalid ones
  // before it sends anything.
  for (const std::uint32_t id : {0x1013FADAu, 0xABCDEF01u, 0x1038DC2Bu, 0x1000000Fu}) {
    EXPECT_TRUE(relay::deviceIdValid(id)) << std::hex << id;
  }
  for (const std::uint32_t id : {0x10A2C3E5u, 0xABCDEF02u, 0x1234567Au, 0xDEADBEEFu, 0xC0FFEE00u}) {
    EXPECT_FALSE(relay::deviceIdValid(id)) << std::hex << id;
  }

  const std::string seed = relay::tunerSeed("0123456789abcdef", "198.18.2.1", 2901);
  EXPECT_EQ(seed, "0123456789abcdef 198.18.2.1:2901");
  EXPECT_EQ(relay::deviceIdFor(seed), relay::deviceIdFor(seed));
  EXPECT_EQ(relay::deviceAuthFor(seed), relay::deviceAuthFor(seed));
  std::set<std::uint32_t> ids;
  std::set<std::string> auths;
  for (int port = 1; port <= 500; ++port) {
    const std::string other = relay::tunerSeed("0123456789abcdef", "198.18.2.1", port);
    const std::uint32_t id = relay::deviceIdFor(other);
    EXPECT_TRUE(relay::deviceIdValid(id)) << std::hex << id;
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, relay::kDeviceIdWildcard);
    ids.insert(id);
    const std::string auth = relay::deviceAuthFor(other);
    ASSERT_EQ(auth.size(), 24u);
    for (const char c : auth) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << auth;
    auths.insert(auth);
  }
  // Seven hashed nibbles: a clash among 500 is possible but rare (p < 0.001).
  EXPECT_GE(ids.size(), 499u);
  EXPECT_EQ(auths.size(), 500u);
}

TEST(TunerReplyBudget, FloodsRationedPerSourceAndInAll) {
  relay::ReplyBudget::Limits limits;  // 4 at once, then 2 a second per source
  limits.allBurst = 10;
  limits.allIntervalMs = 100;
  relay::ReplyBudget budget(limits);
  const platform::Ipv4 a = 1, b = 2;
  int fromA = 0;
  for (int i = 0; i < 100; ++i) fromA += budget.allow(a, 0);
  EXPECT_EQ(fromA, 4);
  EXPECT_TRUE(budget.allow(b, 0));  // another source still has its own
  EXPECT_FALSE(budget.allow(a, 499));
  EXPECT_TRUE(budget.allow(a, 500));  // refilled at 2 a second
  // In all: 10 at once, whatever the sources.
  int many = 0;
  for (platform::Ipv4 source = 10; source < 30; ++source) many += budget.allow(source, 10000);
  EXPECT_EQ(many, 10);

  // The table is bounded, and a flooding source stays in it while others
  // come and go.
  limits.mostSources = 3;
  limits.allBurst = 1000;
  limits.allIntervalMs = 1;
  relay::ReplyBudget table(limits);
  for (int i = 0; i < 10; ++i) table.allow(a, 0);
  for (platform::Ipv4 source = 100; source < 110; ++source) {
    EXPECT_TRUE(table.allow(source, source - 99));
  }
  EXPECT_EQ(table.sourcesKept(), 3u);
  EXPECT_FALSE(table.allow(a, 20));
}

TEST(TunerDiscoveryResponderRun, StartsStopsAndSaysWhenThePortIsTaken) {
  int error = 0;
  platform::Socket holder = platform::Socket::udp(error);
  ASSERT_TRUE(holder.valid());
  ASSERT_EQ(holder.bind(INADDR_ANY, 0), 0);
  platform::Ipv4 address = 0;
  std::uint16_t taken = 0;
  ASSERT_EQ(holder.localAddress(address, taken), 0);

  std::vector<std::string> lines;
  relay::TunerDiscoveryResponder responder(
      platform::parseIpv4("127.0.0.1"), {},
      [&](std::string_view line) { lines.emplace_back(line); });
  EXPECT_FALSE(responder.start(taken));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Tuner discovery: bind() to UDP port " + std::to_string(taken) +
                          " failed with error " + std::to_string(EADDRINUSE));
  holder.close();
  EXPECT_TRUE(responder.start(taken));
  responder.stop();  // joins the thread
  EXPECT_TRUE(responder.start(taken));
  EXPECT_EQ(lines.size(), 1u);
}

TEST(TunerDiscoveryLan, SubnetBroadcast) {
  const auto broadcast = [](const char* address, const char* mask) {
    return platform::ipv4Text(platform::subnetBroadcastOf(
        {platform::parseIpv4(address), platform::parseIpv4(mask), {}, {}}));
  };
  EXPECT_EQ(broadcast("198.18.2.1", "255.255.255.0"), "198.18.2.255");
  EXPECT_EQ(broadcast("10.1.2.3", "255.0.0.0"), "10.255.255.255");
  EXPECT_EQ(broadcast("192.168.7.0", "255.255.255.254"), "0.0.0.0");  // a /31 has none
  EXPECT_EQ(platform::subnetBroadcastOf({platform::parseIpv4("10.1.2.3"), 0, {}, {}}), 0u);
}

}  // namespace
