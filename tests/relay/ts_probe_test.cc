#include "relay/stream/ts_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace relay {
namespace {

using Bytes = std::vector<unsigned char>;

// A packet whose payload never holds a sync byte, tagged with `tag`.
void appendPacket(Bytes& out, unsigned char tag, std::size_t size = 188) {
  out.push_back(kTsSync);
  for (std::size_t i = 1; i < size; ++i) out.push_back(i == 1 ? tag : 0x11);
}

Bytes tsStream(std::size_t packets, std::size_t stride, std::size_t lead = 0) {
  Bytes out(lead, 0x00);
  for (std::size_t p = 0; p < packets; ++p) {
    appendPacket(out, (unsigned char)p, 188);
    out.insert(out.end(), stride - 188, 0x22);
  }
  return out;
}

Bytes rtpHeader(int csrcCount, int extensionWords) {
  Bytes out = {(unsigned char)(0x80 | (extensionWords >= 0 ? 0x10 : 0) | csrcCount),
               33,
               0,
               1,
               0,
               0,
               0,
               0,
               0x12,
               0x34,
               0x56,
               0x78};
  // The whole head in one allocation.
  out.reserve(12 + 4 * std::size_t(csrcCount) + 4 + 4 * std::size_t(std::max(extensionWords, 0)));
  out.insert(out.end(), 4 * std::size_t(csrcCount), 0x55);
  if (extensionWords >= 0) {
    out.insert(out.end(), {0xbe, 0xde, 0, (unsigned char)extensionWords});
    out.insert(out.end(), 4 * std::size_t(extensionWords), 0x47);
  }
  return out;
}

// `datagrams` RTP datagrams of `packets` packets each, tags counting up.
Bytes rtpStream(int datagrams, int packets, int csrcCount = 0, int extensionWords = -1) {
  Bytes out;
  unsigned char tag = 0;
  for (int d = 0; d < datagrams; ++d) {
    const Bytes header = rtpHeader(csrcCount, extensionWords);
    out.insert(out.end(), header.begin(), header.end());
    for (int p = 0; p < packets; ++p) appendPacket(out, tag++);
  }
  return out;
}

TEST(TsProbe, RecognisesEachFormat) {
  struct Case {
    const char* name;
    Bytes chunk;
    std::optional<StreamFormat> format;
    std::size_t stride;
  };
  Bytes resynced = tsStream(20, 188);
  resynced.insert(resynced.begin() + 188 * 3, {1, 2, 3, 4, 5});  // one break in the pattern
  Bytes twoLeads = tsStream(4, 188);
  const Bytes rest = tsStream(30, 204);
  twoLeads.insert(twoLeads.end(), rest.begin(), rest.end());
  const Case cases[] = {
      {"plain 188", tsStream(70, 188), StreamFormat::PlainTs, 188},
      {"plain after junk", tsStream(70, 188, 100), StreamFormat::PlainTs, 188},
      {"stride 204", tsStream(20, 204), StreamFormat::PlainTs, 204},
      {"longest stride 395", tsStream(20, 395), StreamFormat::PlainTs, 395},
      {"prefixed 192", tsStream(20, 192, 4), StreamFormat::PrefixedTs, 188},
      {"resync after a break", resynced, StreamFormat::PlainTs, 188},
      {"stride changes once", twoLeads, StreamFormat::PlainTs, 204},
      {"rtp 7 per datagram", rtpStream(10, 7), StreamFormat::Rtp, 188},
      {"rtp with csrc", rtpStream(10, 7, 3), StreamFormat::Rtp, 188},
      {"rtp with extension", rtpStream(10, 7, 0, 2), StreamFormat::Rtp, 188},
      {"rtp 8 per datagram", rtpStream(10, 8), StreamFormat::Rtp, 188},
      // Nine packets in a row give eight regular hits: taken for plain TS.
      {"rtp 9 per datagram", rtpStream(10, 9), StreamFormat::PlainTs, 188},
      {"no sync byte", Bytes(13160, 0x00), std::nullopt, 0},
      {"sync too late", tsStream(70, 188, 208), std::nullopt, 0},
      {"single packet", tsStream(1, 188), std::nullopt, 0},
      {"no second sync", tsStream(1, 188 + 208 + 10), std::nullopt, 0},
      {"empty", Bytes(), std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<ProbeResult> result = probeFirstChunk(c.chunk.data(), c.chunk.size());
    ASSERT_EQ(result.has_value(), c.format.has_value());
    if (!result) continue;
    EXPECT_EQ(result->format, *c.format);
    EXPECT_EQ(result->stride, c.stride);
  }
}

TEST(TsProbe, CountsPacketsOfTheFirstRtpDatagram) {
  const Bytes chunk = rtpStream(4, 5);
  const std::optional<ProbeResult> result = probeFirstChunk(chunk.data(), chunk.size());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->packetsPerDatagram, 5u);
}

TEST(RtpHeaderLength, CountsCsrcAndExtension) {
  struct Case {
    Bytes header;
    std::size_t length;
  };
  const Case cases[] = {
      {rtpHeader(0, -1), 12}, {rtpHeader(2, -1), 20}, {rtpHeader(15, -1), 72},
      {rtpHeader(0, 0), 16},  {rtpHeader(1, 3), 32},
  };
  for (const Case& c : cases) {
    Bytes bytes = c.header;
    bytes.resize(bytes.size() + 188);
    EXPECT_EQ(rtpHeaderLength(bytes.data(), bytes.size(), 0), c.length);
  }
  // An extension length outside the chunk reaches past its end.
  const Bytes cut = {0x90, 33, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4, 0xbe};
  EXPECT_GT(rtpHeaderLength(cut.data(), cut.size(), 0), cut.size());
}

// The packets of an RTP stream, without headers: tags in order.
Bytes barePackets(int count) {
  Bytes out;
  for (int p = 0; p < count; ++p) appendPacket(out, (unsigned char)p);
  return out;
}

// Each datagram's packets, without its header, in order: tags count up.
TEST(RtpPayload, StripsEveryHeader) {
  struct Case {
    const char* name;
    Bytes datagram;
    std::size_t offset;
    std::size_t packets;
  };
  Bytes partial = rtpStream(1, 7);
  partial.resize(partial.size() - 100);  // the last packet is cut short
  const Case cases[] = {
      {"12-byte header", rtpStream(1, 7), 12, 7},
      {"csrc entries", rtpStream(1, 7, 4), 28, 7},
      {"extension with sync bytes", rtpStream(1, 7, 1, 3), 32, 7},
      {"more than 9 packets", rtpStream(1, 12), 12, 12},
      {"trailing partial packet dropped", partial, 12, 6},
      {"already bare", barePackets(7), 0, 7},
      {"header only", rtpHeader(0, -1), 0, 0},
      {"extension beyond the end", rtpHeader(0, 200), 0, 0},
      {"empty", Bytes(), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Payload payload = rtpPayload(c.datagram.data(), c.datagram.size());
    EXPECT_EQ(payload.length, c.packets * 188);
    if (c.packets == 0) continue;
    EXPECT_EQ(payload.offset, c.offset);
    const Bytes bare(c.datagram.begin() + long(payload.offset),
                     c.datagram.begin() + long(payload.offset + payload.length));
    EXPECT_EQ(bare, barePackets(int(c.packets)));
  }
}

}  // namespace
}  // namespace relay
