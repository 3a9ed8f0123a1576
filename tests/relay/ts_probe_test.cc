#include "relay/stream/ts_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "relay/stream/multicast_receiver.h"

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

TEST(RtpConversion, StripsEveryHeader) {
  struct Case {
    const char* name;
    Bytes chunk;
    Bytes expected;
  };
  Bytes partial = rtpStream(2, 7);
  partial.resize(partial.size() - 100);  // the last packet is cut short
  Bytes headerOnly = rtpStream(2, 7);
  const Bytes lone = rtpHeader(0, 4);
  headerOnly.insert(headerOnly.end(), lone.begin(), lone.end());
  Bytes bare = barePackets(14);
  const Case cases[] = {
      {"12-byte headers", rtpStream(2, 7), barePackets(14)},
      {"csrc entries", rtpStream(3, 7, 4), barePackets(21)},
      {"extension with sync bytes", rtpStream(2, 7, 1, 3), barePackets(14)},
      {"more than 9 per datagram", rtpStream(2, 12), barePackets(24)},
      {"trailing partial packet dropped", partial, barePackets(13)},
      {"header with no packets at the end", headerOnly, barePackets(14)},
      {"already bare", bare, bare},
      {"header only", rtpHeader(0, -1), Bytes()},
      {"empty", Bytes(), Bytes()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(c.chunk.size());
    const std::size_t n = convertRtpChunk(c.chunk.data(), c.chunk.size(), out.data());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + long(n)), c.expected);
    // In place gives the same bytes.
    Bytes inPlace = c.chunk;
    ASSERT_EQ(convertRtpChunk(inPlace.data(), inPlace.size(), inPlace.data()), n);
    EXPECT_EQ(Bytes(inPlace.begin(), inPlace.begin() + long(n)), c.expected);
  }
}

// Chunk lengths for a run of datagram sizes; contents in order, never split.
TEST(ChunkAssembler, KeepsTheChunkRulesWithWholeDatagrams) {
  struct Case {
    const char* name;
    std::vector<std::size_t> datagrams;
    std::vector<std::size_t> chunks;
  };
  const Case cases[] = {
      {"1316-byte datagrams", std::vector<std::size_t>(14, 1316), {13160, 2632, 2632}},
      {"one datagram fills the first chunk", {13160, 1500, 100}, {13160, 1500}},
      {"oversize first datagram", {20000, 1316}, {20000}},
      {"large datagram after the switch", {13160, 60000, 65507}, {13160, 60000, 65507}},
      {"filled chunk grows for a big datagram", {13160, 1400, 9000}, {13160, 10400}},
      {"empty datagrams add nothing", {0, 0, 13160}, {13160}},
  };
  // Keeping the datagram sizes (for a forwarder) changes no chunk; the
  // sizes listed are those added, in order, up to the last queued chunk.
  for (const bool keepSizes : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name + std::string(keepSizes ? ", sizes kept" : ""));
      ChunkAssembler assembler(keepSizes);
      std::vector<std::size_t> lengths;
      std::vector<std::size_t> sizes;
      Bytes sent;
      Bytes queued;
      unsigned char next = 0;
      for (std::size_t size : c.datagrams) {
        Bytes datagram(size);
        for (auto& b : datagram) b = next++;
        sent.insert(sent.end(), datagram.begin(), datagram.end());
        if (auto chunk = assembler.add(datagram.data(), size)) {
          lengths.push_back(std::size_t(chunk->length));
          queued.insert(queued.end(), chunk->data.get(), chunk->data.get() + chunk->length);
          sizes.insert(sizes.end(), chunk->datagramSizes.begin(), chunk->datagramSizes.end());
        }
      }
      EXPECT_EQ(lengths, c.chunks);
      EXPECT_TRUE(std::equal(queued.begin(), queued.end(), sent.begin()));
      if (keepSizes) {
        const std::vector<std::size_t> expected(c.datagrams.begin(),
                                                c.datagrams.begin() + std::ptrdiff_t(sizes.size()));
        EXPECT_EQ(sizes, expected);
        EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), std::size_t(0)), queued.size());
      } else {
        EXPECT_TRUE(sizes.empty());
      }
    }
  }
}

}  // namespace
}  // namespace relay
