#include "relay/igmp/igmp_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace relay {
namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::parseIpv4;

const platform::Ipv4 kHost = parseIpv4("198.18.2.2");

void putAddress(Bytes& bytes, std::size_t at, const char* text) {
  const platform::Ipv4 value = parseIpv4(text);
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// Fills in the IGMP checksum (bytes 2-3), as a sender would.
Bytes sealed(Bytes message) {
  message[2] = message[3] = 0;
  const std::uint16_t checksum = internetChecksum(message);
  message[2] = std::uint8_t(checksum >> 8);
  message[3] = std::uint8_t(checksum);
  return message;
}

Bytes igmp(std::uint8_t type, const char* group) {
  Bytes message{type, 0, 0, 0, 0, 0, 0, 0};
  putAddress(message, 4, group);
  return sealed(message);
}

struct Record {
  std::uint8_t type;
  const char* group;
  std::uint16_t sources = 0;
  std::uint8_t auxWords = 0;
};

Bytes v3Report(const std::vector<Record>& records) {
  Bytes message{
      0x22, 0, 0, 0, 0, 0, std::uint8_t(records.size() >> 8), std::uint8_t(records.size())};
  for (const Record& r : records) {
    const std::size_t at = message.size();
    message.resize(at + 8 + 4 * r.sources + 4 * r.auxWords, 0x5a);
    message[at] = r.type;
    message[at + 1] = r.auxWords;
    message[at + 2] = std::uint8_t(r.sources >> 8);
    message[at + 3] = std::uint8_t(r.sources);
    putAddress(message, at + 4, r.group);
  }
  return sealed(message);
}

// The IPv4 packet around `message`, from kHost; with the Router Alert option
// the header is 24 bytes (IHL 6).
Bytes ipv4(const Bytes& message, bool routerAlert = false) {
  const std::size_t header = routerAlert ? 24 : 20;
  Bytes packet(header, 0);
  packet[0] = std::uint8_t(0x40 | header / 4);
  const std::size_t total = header + message.size();
  packet[2] = std::uint8_t(total >> 8);
  packet[3] = std::uint8_t(total);
  packet[8] = 1;
  packet[9] = 2;
  std::memcpy(packet.data() + 12, &kHost, sizeof kHost);
  putAddress(packet, 16, "224.0.0.22");
  if (routerAlert) {
    packet[20] = 0x94;
    packet[21] = 0x04;
  }
  packet.insert(packet.end(), message.begin(), message.end());
  return packet;
}

// Parses from a buffer of exactly the packet's size, so that a read past
// its end is caught by the address sanitizer.
std::optional<IgmpReading> parseExact(const Bytes& packet, std::vector<std::string>& log) {
  const std::size_t n = packet.size();
  const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n == 0 ? 1 : n]);
  if (n > 0) std::memcpy(exact.get(), packet.data(), n);
  return parseIgmp(std::span<const std::uint8_t>(exact.get(), n),
                   [&](std::string_view line) { log.emplace_back(line); });
}

Bytes with(Bytes bytes, std::size_t at, std::uint8_t value) {
  bytes[at] = value;
  return bytes;
}

Bytes cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

// A v3 report whose record count says one more record than it holds.
Bytes v3WithRecordCount(std::uint16_t count) {
  Bytes message = v3Report({{2, "239.1.1.1"}, {2, "239.1.1.2"}});
  message[6] = std::uint8_t(count >> 8);
  message[7] = std::uint8_t(count);
  return ipv4(sealed(message));
}

// Two records announced, the second one's header only half there; the
// checksum is right, so only the length is wrong.
Bytes v3SecondRecordCut() {
  return ipv4(sealed(cut(v3Report({{2, "239.1.1.1"}, {2, "239.1.1.2"}}), 8 + 8 + 4)));
}

// Every way a packet is refused, each with its one log line and nothing
// else: a wrong text, a second line or an out-of-bounds read would show.
TEST(ParseIgmp, RejectsWithExactlyOneLine) {
  const std::string header = "Invalid ip header.";
  const std::string length = "Invalid payload length.";
  const std::string checksum = "Invalid IGMP checksum.";
  const Bytes report = ipv4(igmp(0x16, "239.1.1.1"));
  const struct {
    const char* what;
    Bytes packet;
    std::string line;
  } cases[] = {
      {"nothing", {}, header},
      {"19 bytes", cut(report, 19), header},
      {"total length beyond what arrived", cut(report, 27), length},
      {"total length 0x11c, 28 received", with(report, 2, 0x01), length},
      {"IHL 4", with(report, 0, 0x44), length},
      {"IHL 0", with(report, 0, 0x40), length},
      {"IHL 15 beyond the total length", with(report, 0, 0x4f), length},
      {"total length shorter than the header", with(report, 3, 19), length},
      {"IGMP message of 4 bytes", with(cut(report, 24), 3, 24), length},
      {"IGMP message of 7 bytes", with(cut(report, 27), 3, 27), length},
      {"checksum off by one", with(report, 23, std::uint8_t(report[23] + 1)), checksum},
      {"group changed after sealing", with(report, 27, 2), checksum},
      {"v3: record count past the end", v3WithRecordCount(3), length},
      {"v3: record count 0xffff", v3WithRecordCount(0xffff), length},
      {"v3: source count past the end", ipv4(sealed(with(v3Report({{1, "239.1.1.1", 1}}), 11, 2))),
       length},
      {"v3: aux data past the end", ipv4(sealed(with(v3Report({{2, "239.1.1.1"}}), 9, 1))), length},
      {"v3: second record header cut", v3SecondRecordCut(), length},
  };
  for (const auto& c : cases) {
    std::vector<std::string> log;
    EXPECT_FALSE(parseExact(c.packet, log)) << c.what;
    EXPECT_EQ(log, std::vector<std::string>{c.line}) << c.what;
  }
}

struct Change {
  bool join;
  const char* group;
  SourceFilter filter = SourceFilter::Any;
  std::size_t sources = 0;
};

std::vector<Change> kNoChanges;

TEST(ParseIgmp, ClassifiesAndNamesTheGroups) {
  // Link padding after the total length is not part of the message.
  Bytes padded = ipv4(igmp(0x16, "239.1.1.7"));
  padded.resize(46, 0xee);
  // An odd-length message: the last byte is summed as the high half of a word.
  Bytes odd = igmp(0x16, "239.1.1.8");
  odd.push_back(0x80);
  // 14 records: total length 24 + 8 + 112 = 144, low byte 0x90.
  std::vector<Record> many;
  const char* groups[] = {"239.2.0.1",  "239.2.0.2",  "239.2.0.3",  "239.2.0.4", "239.2.0.5",
                          "239.2.0.6",  "239.2.0.7",  "239.2.0.8",  "239.2.0.9", "239.2.0.10",
                          "239.2.0.11", "239.2.0.12", "239.2.0.13", "239.2.0.14"};
  std::vector<Change> manyChanges;
  for (const char* g : groups) {
    many.push_back({4, g});
    manyChanges.push_back({true, g});
  }

  const struct {
    const char* what;
    Bytes packet;
    IgmpType type;
    std::vector<Change> changes;
  } cases[] = {
      {"v1 report", ipv4(igmp(0x12, "239.1.1.1")), IgmpType::Report, {{true, "239.1.1.1"}}},
      {"v2 report", ipv4(igmp(0x16, "239.1.1.2")), IgmpType::Report, {{true, "239.1.1.2"}}},
      {"v2 report, Router Alert (IHL 6)",
       ipv4(igmp(0x16, "239.1.1.3"), true),
       IgmpType::Report,
       {{true, "239.1.1.3"}}},
      {"leave", ipv4(igmp(0x17, "239.1.1.4"), true), IgmpType::Leave, {{false, "239.1.1.4"}}},
      {"general query", ipv4(igmp(0x11, "0.0.0.0")), IgmpType::Query, kNoChanges},
      {"group query", ipv4(igmp(0x11, "239.1.1.5")), IgmpType::Query, kNoChanges},
      {"unknown type", ipv4(igmp(0x13, "239.1.1.6")), IgmpType::Other, kNoChanges},
      {"link padding", padded, IgmpType::Report, {{true, "239.1.1.7"}}},
      {"odd message length", ipv4(sealed(odd)), IgmpType::Report, {{true, "239.1.1.8"}}},
      {"v3 without records", ipv4(v3Report({})), IgmpType::Report, kNoChanges},
      {"v3, every record type",
       ipv4(v3Report({
                {1, "239.3.0.1"},        // is include, no source: leave
                {1, "239.3.0.2", 2},     // is include with sources: join, only those
                {2, "239.3.0.3"},        // is exclude: join
                {2, "239.3.0.12", 2},    // is exclude of sources: join, every source
                {3, "239.3.0.4"},        // to include, no source: leave
                {3, "239.3.0.5", 1},     // to include with a source: join, only that
                {4, "239.3.0.6", 1, 2},  // to exclude, with aux data: join
                {5, "239.3.0.7"},        // allow, no source: nothing
                {5, "239.3.0.8", 3},     // allow with sources: join, those too
                {6, "239.3.0.9", 1},     // block: those no longer
                {6, "239.3.0.11"},       // block, no source: nothing
                {7, "239.3.0.10"},       // unknown: nothing
            }),
            true),
       IgmpType::Report,
       {{false, "239.3.0.1"},
        {true, "239.3.0.2", SourceFilter::Only, 2},
        {true, "239.3.0.3"},
        {true, "239.3.0.12"},
        {false, "239.3.0.4"},
        {true, "239.3.0.5", SourceFilter::Only, 1},
        {true, "239.3.0.6"},
        {true, "239.3.0.8", SourceFilter::Also, 3},
        {false, "239.3.0.9", SourceFilter::Without, 1}}},
      {"v3, total length 0x90", ipv4(v3Report(many), true), IgmpType::Report, manyChanges},
  };
  for (const auto& c : cases) {
    std::vector<std::string> log;
    const std::optional<IgmpReading> reading = parseExact(c.packet, log);
    ASSERT_TRUE(reading) << c.what << ": " << (log.empty() ? "" : log[0]);
    EXPECT_TRUE(log.empty()) << c.what;
    EXPECT_EQ(reading->type, c.type) << c.what;
    EXPECT_EQ(reading->source, kHost) << c.what;
    ASSERT_EQ(reading->changes.size(), c.changes.size()) << c.what;
    for (std::size_t i = 0; i < c.changes.size(); ++i) {
      EXPECT_EQ(reading->changes[i].join, c.changes[i].join) << c.what << " #" << i;
      EXPECT_EQ(reading->changes[i].group, parseIpv4(c.changes[i].group)) << c.what << " #" << i;
      EXPECT_EQ(reading->changes[i].filter, c.changes[i].filter) << c.what << " #" << i;
      // The test's records carry 0x5a bytes as their sources.
      EXPECT_EQ(reading->changes[i].sources,
                std::vector<platform::Ipv4>(c.changes[i].sources, parseIpv4("90.90.90.90")))
          << c.what << " #" << i;
    }
  }
}

TEST(InternetChecksum, KnownVectors) {
  const struct {
    const char* what;
    Bytes bytes;
    std::uint16_t checksum;
  } cases[] = {
      // RFC 1071, 3: the sum of these words is 0xddf2.
      {"RFC 1071 example", {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d},
      {"nothing", {}, 0xffff},
      {"odd byte padded low", {0x01}, 0xfeff},
      {"odd tail", {0x12, 0x34, 0x56}, 0x97cb},
      {"carries folded", {0xff, 0xff, 0xff, 0xff}, 0x0000},
      {"carry wraps round", {0x80, 0x00, 0x80, 0x01}, 0xfffd},
  };
  for (const auto& c : cases) EXPECT_EQ(internetChecksum(c.bytes), c.checksum) << c.what;
}

TEST(BuildQuery, BytesOnTheWire) {
  // Type, max resp code 100, checksum, group, QRV 2, QQIC 125, no sources.
  const struct {
    const char* group;
    std::array<std::uint8_t, kQueryBytes> bytes;
  } cases[] = {
      {"0.0.0.0", {0x11, 0x64, 0xec, 0x1e, 0, 0, 0, 0, 0x02, 0x7d, 0, 0}},
      {"239.1.1.1", {0x11, 0x64, 0xfc, 0x1b, 0xef, 0x01, 0x01, 0x01, 0x02, 0x7d, 0, 0}},
  };
  for (const auto& c : cases) {
    const std::array<std::uint8_t, kQueryBytes> query = buildQuery(parseIpv4(c.group));
    EXPECT_EQ(query, c.bytes) << c.group;
    // What the relay sends, with or without the Router Alert option, its
    // own parser takes as a valid query.
    for (const bool routerAlert : {false, true}) {
      std::vector<std::string> log;
      const std::optional<IgmpReading> reading =
          parseExact(ipv4(Bytes(query.begin(), query.end()), routerAlert), log);
      ASSERT_TRUE(reading) << c.group << (log.empty() ? "" : log[0]);
      EXPECT_EQ(reading->type, IgmpType::Query) << c.group;
      EXPECT_TRUE(reading->changes.empty()) << c.group;
    }
  }
}

}  // namespace
}  // namespace relay

namespace relay {
namespace {

using Sources = std::vector<const char*>;

// A version 3 report of MODE_IS_INCLUDE records, each a group and its
// sources, sealed.
Bytes includeReport(const std::vector<std::pair<const char*, Sources>>& records) {
  Bytes message{0x22, 0, 0, 0, 0, 0, 0, std::uint8_t(records.size())};
  for (const auto& [group, sources] : records) {
    const std::size_t at = message.size();
    message.resize(at + 8 + 4 * sources.size());
    message[at] = 1;
    message[at + 3] = std::uint8_t(sources.size());
    putAddress(message, at + 4, group);
    for (std::size_t i = 0; i < sources.size(); ++i)
      putAddress(message, at + 8 + 4 * i, sources[i]);
  }
  return sealed(message);
}

HeldMembership held(const char* group, const char* source = "0.0.0.0") {
  return {parseIpv4(group), parseIpv4(source)};
}

TEST(MembershipReports, OnePerGroupInTheFormItsSourcesNeed) {
  const char* const routers = "224.0.0.22";
  const struct {
    const char* what;
    std::vector<HeldMembership> memberships;
    std::vector<std::pair<const char*, Bytes>> reports;  // destination, message
  } cases[] = {
      {"nothing held", {}, {}},
      {"any source: version 2, to the group",
       {held("239.1.1.1")},
       {{"239.1.1.1", {0x16, 0, 0xf9, 0xfc, 0xef, 1, 1, 1}}}},
      {"one source: version 3 include, to 224.0.0.22",
       {held("232.1.1.1", "198.18.1.1")},
       {{routers, {0x22, 0, 0x2c, 0xe7, 0, 0, 0, 1, 1, 0, 0, 1, 0xe8, 1, 1, 1, 0xc6, 0x12, 1, 1}}}},
      // The same group on two ports counts once; numeric order, not the
      // order of the bytes in memory.
      {"two ports of a group, groups in numeric order",
       {held("239.2.0.1"), held("239.1.1.2"), held("239.2.0.1")},
       {{"239.1.1.2", igmp(0x16, "239.1.1.2")}, {"239.2.0.1", igmp(0x16, "239.2.0.1")}}},
      {"sources of two groups share one report, after the version 2 ones",
       {held("232.1.1.2", "198.18.1.9"), held("239.1.1.3"), held("232.1.1.1", "198.18.1.1"),
        held("232.1.1.2", "198.18.1.2")},
       {{"239.1.1.3", igmp(0x16, "239.1.1.3")},
        {routers, includeReport({{"232.1.1.1", {"198.18.1.1"}},
                                 {"232.1.1.2", {"198.18.1.2", "198.18.1.9"}}})}}},
      {"a group from any source and from one: the version 2 report alone",
       {held("239.1.1.4", "198.18.1.1"), held("239.1.1.4")},
       {{"239.1.1.4", igmp(0x16, "239.1.1.4")}}},
  };
  for (const auto& c : cases) {
    const std::vector<MembershipReport> reports = membershipReports(c.memberships);
    ASSERT_EQ(reports.size(), c.reports.size()) << c.what;
    for (std::size_t i = 0; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i].destination, parseIpv4(c.reports[i].first)) << c.what << " #" << i;
      EXPECT_EQ(reports[i].bytes, c.reports[i].second) << c.what << " #" << i;
    }
  }
}

// More sources than a report holds: every report fits, and what the
// reports say together (as a querier reads them) is every source wanted.
TEST(MembershipReports, ManySourcesSpreadOverReportsThatFit) {
  std::vector<HeldMembership> memberships;
  std::set<std::pair<platform::Ipv4, platform::Ipv4>> wanted;
  for (int g = 0; g < 2; ++g) {
    for (int s = 0; s < (g == 0 ? 400 : 200); ++s) {
      const std::string source = "10.0." + std::to_string(s / 250) + "." + std::to_string(s % 250);
      memberships.push_back(held(g == 0 ? "232.1.1.1" : "232.1.1.2", source.c_str()));
      wanted.insert({memberships.back().group, memberships.back().source});
    }
  }
  const std::vector<MembershipReport> reports = membershipReports(memberships);
  // 600 sources take 2400 bytes: two reports, the second also holding the
  // other group's record.
  ASSERT_EQ(reports.size(), 2u);
  std::set<std::pair<platform::Ipv4, platform::Ipv4>> said;
  for (const MembershipReport& report : reports) {
    EXPECT_LE(report.bytes.size(), kMostReportBytes);
    EXPECT_EQ(report.destination, parseIpv4("224.0.0.22"));
    std::vector<std::string> log;
    const std::optional<IgmpReading> reading = parseExact(ipv4(report.bytes, true), log);
    ASSERT_TRUE(reading) << (log.empty() ? "" : log[0]);
    EXPECT_EQ(reading->type, IgmpType::Report);
    for (const GroupChange& change : reading->changes) {
      EXPECT_TRUE(change.join);
      EXPECT_EQ(change.filter, SourceFilter::Only);
      for (const platform::Ipv4 source : change.sources) said.insert({change.group, source});
    }
  }
  EXPECT_EQ(said, wanted);
}

}  // namespace
}  // namespace relay
