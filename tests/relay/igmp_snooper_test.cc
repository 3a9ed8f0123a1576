#include "relay/igmp/igmp_snooper.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/wait.h"
#include "tests/support/private_network.h"

namespace relay {
namespace {

using Lines = std::vector<std::string>;
using platform::Ipv4;
using platform::parseIpv4;
using testsupport::eventually;

// Forwarder stand-ins: each runs until its pair's or the snooper's stop.
struct Forwarders {
  std::mutex lock;
  std::vector<ForwarderContext> started;
  std::atomic<int> ended{0};

  ForwarderBody body() {
    return [this](ForwarderContext context) {
      {
        std::lock_guard<std::mutex> hold(lock);
        started.push_back(context);
      }
      const platform::WaitItem items[] = {platform::WaitItem::event(*context.pairStop),
                                          platform::WaitItem::event(context.shared->snooperStop)};
      platform::waitAny(items, -1);
      ++ended;
    };
  }
  std::size_t count() {
    std::lock_guard<std::mutex> hold(lock);
    return started.size();
  }
};

// The table on a clock the test moves; every line it writes is kept.
struct Table {
  std::int64_t now = 1000;
  Lines console;
  Lines log;
  Forwarders forwarders;
  std::shared_ptr<ForwarderShared> shared = [this] {
    auto s = std::make_shared<ForwarderShared>();
    s->report.console = [this](std::string_view line) { console.emplace_back(line); };
    s->report.log = [this](std::string_view line) { log.emplace_back(line); };
    return s;
  }();
  MembershipTable table{shared, [this] { return now; }, forwarders.body()};

  void report(const char* host, const char* group, bool join = true,
              LinkAddress link = kNoLinkAddress) {
    table.apply(parseIpv4(host), GroupChange{join, parseIpv4(group), SourceFilter::Any, {}}, link);
  }
  // The lines since the last call.
  std::pair<Lines, Lines> lines() {
    std::pair<Lines, Lines> taken{console, log};
    console.clear();
    log.clear();
    return taken;
  }
};

enum Said { kNothing, kStarting, kResponded, kStopping };

// The console and log lines of one table rule, the console's with its
// trailing blank (and two blanks after "Host").
std::pair<Lines, Lines> said(Said what, const std::string& host, const std::string& group) {
  const std::string pair = group + " to host " + host;
  switch (what) {
    case kStarting:
      return {{"Igmp snooper: Starting proxying multicast group " + pair + " "},
              {"Igmp snooper: Starting proxying multicast group " + pair}};
    case kStopping:
      return {{"Igmp snooper: Stopping proxying multicast group " + pair + " "},
              {"Igmp snooper: Stopping proxying multicast group " + pair}};
    case kResponded:
      return {{"Igmp snooper: Host  " + host + " responded to query for " + group + " "},
              {"Igmp snooper: Host " + host + " responded to query for " + group}};
    default:
      return {};
  }
}

TEST(MembershipTable, JoinRefreshLeaveRules) {
  const char* h = "192.168.0.50";
  const char* g = "239.1.1.1";
  const struct {
    std::int64_t at;
    const char* host;
    const char* group;
    bool join;
    Said said;
  } steps[] = {
      {0, h, g, true, kStarting},
      {5, h, g, true, kNothing},
      {23, h, g, true, kNothing},  // not yet more than 23 s old
      {30, h, g, true, kResponded},
      {53, h, g, true, kNothing},  // counted from the refresh
      {54, h, g, true, kResponded},
      {60, "192.168.0.51", g, false, kNothing},
      {60, h, "239.1.1.9", false, kNothing},  // nothing to leave
      {61, h, g, false, kStopping},
      {62, h, g, false, kNothing},
      {63, h, g, true, kStarting},  // a new pair
  };
  Table t;
  for (const auto& s : steps) {
    t.now = 1000 + s.at;
    t.report(s.host, s.group, s.join);
    EXPECT_EQ(t.lines(), said(s.said, s.host, s.group)) << "at " << s.at;
  }
  ASSERT_EQ(t.table.pairs().size(), 1u);
  EXPECT_EQ(t.table.pairs()[0].expiry, 1063 + kPairLifetimeSeconds);
  // A new forwarder for the second join; the first one was told to stop.
  ASSERT_TRUE(eventually([&] { return t.forwarders.count() == 2; }));
  EXPECT_TRUE(eventually([&] { return t.forwarders.ended == 1; }));
}

// Version 3 hosts in include mode name their sources: a host leaves when
// it blocks the last one it wanted, at once, and a block means nothing to a
// host that wants every source.
TEST(MembershipTable, IncludeModeSourcesAndTheLastBlock) {
  const char* h = "192.168.0.50";
  const char* g = "239.1.1.1";
  const Ipv4 s1 = parseIpv4("10.0.0.1"), s2 = parseIpv4("10.0.0.2"), s3 = parseIpv4("10.0.0.3");
  const struct {
    bool join;
    SourceFilter filter;
    std::vector<Ipv4> sources;
    Said said;
  } steps[] = {
      {false, SourceFilter::Without, {s1}, kNothing},  // no pair: nothing to block
      {true, SourceFilter::Only, {s1, s2}, kStarting},
      {false, SourceFilter::Without, {s1}, kNothing},  // s2 still wanted
      {true, SourceFilter::Also, {s3}, kNothing},
      {false, SourceFilter::Without, {s2, s3}, kStopping},
      {true, SourceFilter::Any, {}, kStarting},
      {false, SourceFilter::Without, {s1}, kNothing},  // exclude mode: still a member
      {true, SourceFilter::Only, {s1}, kNothing},      // to include mode
      {false, SourceFilter::Without, {s1}, kStopping},
      {true, SourceFilter::Also, {s2}, kStarting},  // allow from no source at all
      {false, SourceFilter::Without, {s2}, kStopping},
  };
  Table t;
  int step = 0;
  for (const auto& s : steps) {
    t.table.apply(parseIpv4(h), GroupChange{s.join, parseIpv4(g), s.filter, s.sources});
    EXPECT_EQ(t.lines(), said(s.said, h, g)) << "step " << step++;
  }
  EXPECT_TRUE(t.table.pairs().empty());
}

// The sources a pair's forwarder follows: an include-mode host's own, only
// those a source-specific membership can name, at most 8; none (every
// source) in exclude mode, whatever it allows or blocks there.
TEST(MembershipTable, SourcesTheForwarderFollows) {
  const char* h = "192.168.0.50";
  const char* g = "232.1.1.1";
  const auto ips = [](std::initializer_list<const char*> texts) {
    std::vector<Ipv4> out;
    for (const char* text : texts) out.push_back(parseIpv4(text));
    return out;
  };
  const std::vector<Ipv4> ten = ips({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5",
                                     "10.0.0.6", "10.0.0.7", "10.0.0.8", "10.0.0.9", "10.0.0.10"});
  const std::vector<Ipv4> firstEight(ten.begin(), ten.begin() + 8);
  const std::vector<Ipv4> unbelieved =
      ips({"0.1.2.3", "127.0.0.1", "224.0.1.1", "239.1.1.1", "240.0.0.1", "255.255.255.255"});
  const struct {
    const char* what;
    bool join;
    SourceFilter filter;
    std::vector<Ipv4> sources;
    Said said;
    bool member;
    std::vector<Ipv4> follows;
  } steps[] = {
      {"allow, not believed: no pair", true, SourceFilter::Also, unbelieved, kNothing, false, {}},
      {"include", true, SourceFilter::Only, ips({"10.0.0.1", "10.0.0.2"}), kStarting, true,
       ips({"10.0.0.1", "10.0.0.2"})},
      {"allow one more and one again", true, SourceFilter::Also, ips({"10.0.0.3", "10.0.0.1"}),
       kNothing, true, ips({"10.0.0.1", "10.0.0.2", "10.0.0.3"})},
      {"block", false, SourceFilter::Without, ips({"10.0.0.1"}), kNothing, true,
       ips({"10.0.0.2", "10.0.0.3"})},
      {"include, loopback left out", true, SourceFilter::Only, ips({"127.0.0.1", "10.0.0.4"}),
       kNothing, true, ips({"10.0.0.4"})},
      {"allow, not believed", true, SourceFilter::Also, unbelieved, kNothing, true,
       ips({"10.0.0.4"})},
      {"include of ten: the first eight", true, SourceFilter::Only, ten, kNothing, true,
       firstEight},
      {"allow a ninth: ignored", true, SourceFilter::Also, ips({"10.0.0.11"}), kNothing, true,
       firstEight},
      {"exclude: every source", true, SourceFilter::Any, {}, kNothing, true, {}},
      {"allow in exclude mode", true, SourceFilter::Also, ips({"10.0.0.1"}), kNothing, true, {}},
      {"block in exclude mode",
       false,
       SourceFilter::Without,
       ips({"10.0.0.1"}),
       kNothing,
       true,
       {}},
      {"back to include", true, SourceFilter::Only, ips({"10.0.0.5"}), kNothing, true,
       ips({"10.0.0.5"})},
      {"include of none believed: a leave",
       true,
       SourceFilter::Only,
       unbelieved,
       kStopping,
       false,
       {}},
      {"allow from no source at all", true, SourceFilter::Also, ips({"10.0.0.6"}), kStarting, true,
       ips({"10.0.0.6"})},
  };
  Table t;
  std::size_t starts = 0;
  for (const auto& s : steps) {
    t.table.apply(parseIpv4(h), GroupChange{s.join, parseIpv4(g), s.filter, s.sources});
    EXPECT_EQ(t.lines(), said(s.said, h, g)) << s.what;
    starts += s.said == kStarting;
    const auto pairs = t.table.pairs();
    ASSERT_EQ(pairs.size(), s.member ? 1u : 0u) << s.what;
    if (!s.member) continue;
    EXPECT_EQ(pairs[0].sources, s.follows) << s.what;
    // The running forwarder is told: the newest one started.
    ASSERT_TRUE(eventually([&] { return t.forwarders.count() == starts; }));
    std::lock_guard<std::mutex> hold(t.forwarders.lock);
    ASSERT_TRUE(t.forwarders.started.back().sources);
    EXPECT_EQ(t.forwarders.started.back().sources->get(), s.follows) << s.what;
  }
}

// Every source is a receiver of its own: 512 in all, however many hosts
// name them. Past that a new include-mode pair is refused and an existing
// one gets no more.
TEST(MembershipTable, SourcesInAllAreBounded) {
  const auto host = [](int h) { return parseIpv4(("192.168.1." + std::to_string(h)).c_str()); };
  const auto source = [](int s) { return parseIpv4(("10.1.0." + std::to_string(s)).c_str()); };
  const std::vector<Ipv4> eight = {source(1), source(2), source(3), source(4),
                                   source(5), source(6), source(7), source(8)};
  const Ipv4 g = parseIpv4("232.1.1.1");
  Table t;
  for (int h = 1; h <= 64; ++h) t.table.apply(host(h), {true, g, SourceFilter::Only, eight});
  t.lines();
  const struct {
    const char* what;
    int host;
    bool join;
    SourceFilter filter;
    std::vector<Ipv4> sources;
    std::size_t pairs;
    std::size_t sourcesOfHost;
  } steps[] = {
      {"all taken: refused", 65, true, SourceFilter::Only, {source(9)}, 64, 0},
      {"a block frees one", 1, false, SourceFilter::Without, {source(8)}, 64, 7},
      {"which the next one takes", 65, true, SourceFilter::Only, {source(9), source(10)}, 65, 1},
      {"and no more", 65, true, SourceFilter::Also, {source(11)}, 65, 1},
      {"every source still goes", 66, true, SourceFilter::Any, {}, 66, 0},
  };
  for (const auto& s : steps) {
    t.table.apply(host(s.host), {s.join, g, s.filter, s.sources});
    const auto pairs = t.table.pairs();
    EXPECT_EQ(pairs.size(), s.pairs) << s.what;
    for (const auto& pair : pairs) {
      if (pair.host == host(s.host)) {
        EXPECT_EQ(pair.sources.size(), s.sourcesOfHost) << s.what;
      }
    }
  }
}

TEST(MembershipTable, ExcludedGroups) {
  const struct {
    const char* group;
    bool forwarded;
  } cases[] = {
      {"224.0.0.0", false},
      {"224.0.0.251", false},
      {"224.0.0.255", false},
      {"239.255.255.250", false},
      {"224.0.1.0", true},
      {"225.0.0.1", true},
      {"239.255.255.249", true},
      {"239.255.255.251", true},
      // Not multicast: the forwarder would receive on that address.
      {"192.168.0.1", false},
      {"198.19.201.1", false},
      {"223.255.255.255", false},
      {"240.0.0.1", false},
      {"255.255.255.255", false},
      {"0.0.0.0", false},
      {"239.255.255.255", true},
  };
  Table t;
  for (const auto& c : cases) {
    t.report("192.168.0.50", c.group);
    EXPECT_EQ(t.lines().first.size(), c.forwarded ? 1u : 0u) << c.group;
    // A leave of a group that is not forwarded ends nothing and says nothing.
    if (!c.forwarded) t.report("192.168.0.50", c.group, false);
    EXPECT_EQ(t.lines(), (std::pair<Lines, Lines>{})) << c.group;
  }
  EXPECT_EQ(t.table.pairs().size(), 5u);
}

// Only unicast hosts of the listening interface's subnet are heard and
// forwarded to: a report's source address is whatever its sender wrote.
// With --allow, only those of them the list names.
TEST(LanRules, HostsOfTheLan) {
  const LanSubnet lan{parseIpv4("192.168.0.1"), parseIpv4("255.255.255.0"), {}, {}};
  const LanSubnet wide{parseIpv4("10.1.2.3"), parseIpv4("255.0.0.0"), {}, {}};
  const LanSubnet pointToPoint{parseIpv4("192.168.7.0"), parseIpv4("255.255.255.254"), {}, {}};
  const LanSubnet unknown{parseIpv4("192.168.0.1"), 0, {}, {}};
  const LanSubnet twoAddresses{
      parseIpv4("192.168.0.1"), parseIpv4("255.255.255.0"), {parseIpv4("192.168.0.9")}, {}};
  const LanSubnet allowed{
      parseIpv4("192.168.0.1"),
      parseIpv4("255.255.255.0"),
      {},
      *platform::AddressList::parse("192.168.0.0/28,192.168.0.200,10.9.0.0/16")};
  const struct {
    const LanSubnet& lan;
    const char* host;
    bool heard;
  } cases[] = {
      {lan, "192.168.0.50", true},
      {lan, "192.168.0.2", true},
      {lan, "192.168.0.254", true},
      {lan, "192.168.0.0", false},    // network address
      {lan, "192.168.0.255", false},  // broadcast address
      {lan, "192.168.0.1", false},    // the relay itself
      {lan, "127.0.0.1", false},
      {lan, "239.1.1.1", false},
      {lan, "224.0.0.1", false},
      {lan, "198.19.201.2", false},  // a host of the IPTV side
      {lan, "192.168.1.50", false},
      {lan, "0.0.0.0", false},
      {lan, "255.255.255.255", false},
      {wide, "10.200.0.1", true},
      {wide, "10.255.255.255", false},
      {pointToPoint, "192.168.7.1", true},  // a /31 has two hosts, no broadcast
      {pointToPoint, "192.168.7.2", false},
      {unknown, "192.168.0.50", false},
      {twoAddresses, "192.168.0.9", false},  // the relay's second address there
      {twoAddresses, "192.168.0.50", true},
      {allowed, "192.168.0.5", true},
      {allowed, "192.168.0.200", true},
      {allowed, "192.168.0.50", false},   // of the LAN, not of --allow
      {allowed, "192.168.0.201", false},  // next to an allowed host
      {allowed, "192.168.0.1", false},    // the relay itself, allowed or not
      {allowed, "192.168.0.0", false},    // the network address, in the allowed /28
      {allowed, "10.9.0.5", false},       // --allow does not widen the LAN
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isLanHost(c.lan, parseIpv4(c.host)), c.heard) << c.host;
  }
  // However wide a subnet is set up, loopback, multicast and reserved
  // addresses are never hosts of it.
  const LanSubnet everything{parseIpv4("10.0.0.1"), parseIpv4("128.0.0.0"), {}, {}};
  for (const char* host : {"127.0.0.1", "0.1.2.3"}) {
    EXPECT_FALSE(isLanHost(everything, parseIpv4(host))) << host;
  }
  const LanSubnet upper{parseIpv4("200.0.0.1"), parseIpv4("128.0.0.0"), {}, {}};
  for (const char* host : {"239.1.1.1", "240.0.0.1", "255.255.255.254"}) {
    EXPECT_FALSE(isLanHost(upper, parseIpv4(host))) << host;
  }
}

// One machine posing as many hosts is still one host: its groups are
// counted by link-layer address too. Hosts on a link without such
// addresses are counted by IP address alone.
TEST(MembershipTable, GroupsPerHostAlsoCountedByLinkAddress) {
  constexpr LinkAddress m1 = 0x020000000001, m2 = 0x020000000002;
  const auto group = [](int g) { return "239.1.0." + std::to_string(1 + g); };
  Table t;
  for (int g = 0; g < 32; ++g) t.report("192.168.0.10", group(g).c_str(), true, m1);
  ASSERT_EQ(t.table.pairs().size(), 32u);
  t.lines();
  const struct {
    const char* what;
    const char* host;
    int group;
    bool join;
    LinkAddress link;
    bool started;
    bool refused;
  } steps[] = {
      {"another address, same machine", "192.168.0.11", 40, true, m1, false, true},
      {"the same group from there", "192.168.0.11", 0, true, m1, false, true},
      {"another machine", "192.168.0.12", 40, true, m2, true, false},
      {"the first address from another machine", "192.168.0.10", 41, true, m2, false, true},
      {"no link address: by IP alone", "192.168.0.13", 40, true, kNoLinkAddress, true, false},
      {"the full machine leaves a group", "192.168.0.10", 0, false, m1, false, false},
      {"then its other address is taken", "192.168.0.11", 40, true, m1, true, false},
      {"and the machine is full again", "192.168.0.14", 42, true, m1, false, true},
  };
  for (const auto& s : steps) {
    t.report(s.host, group(s.group).c_str(), s.join, s.link);
    const Lines log = t.lines().second;
    const auto has = [&](std::string_view start) {
      return std::any_of(log.begin(), log.end(),
                         [&](const std::string& line) { return line.starts_with(start); });
    };
    EXPECT_EQ(has("Igmp snooper: Starting proxying"), s.started) << s.what;
    EXPECT_EQ(has("Igmp snooper: Too many groups for host " + std::string(s.host) + ", group " +
                  group(s.group) + " not forwarded"),
              s.refused)
        << s.what;
  }
  EXPECT_EQ(t.table.pairs().size(), 34u);
}

// Each pair has its own forwarder with its own stop; a leave ends only its
// own, and the stop of the table ends and joins the rest.
TEST(MembershipTable, EveryPairItsOwnForwarder) {
  Table t;
  t.report("192.168.0.50", "239.1.1.1");
  t.report("192.168.0.51", "239.1.1.1");
  t.report("192.168.0.50", "239.1.1.2");
  ASSERT_EQ(t.table.pairs().size(), 3u);
  ASSERT_TRUE(eventually([&] { return t.forwarders.count() == 3; }));
  const auto forwarderOf = [&](const char* host, const char* group) {
    std::lock_guard<std::mutex> hold(t.forwarders.lock);
    for (const ForwarderContext& c : t.forwarders.started) {
      if (c.host == parseIpv4(host) && c.group == parseIpv4(group)) return c;
    }
    return ForwarderContext{};
  };
  const ForwarderContext started[] = {forwarderOf("192.168.0.50", "239.1.1.1"),
                                      forwarderOf("192.168.0.51", "239.1.1.1"),
                                      forwarderOf("192.168.0.50", "239.1.1.2")};
  for (const ForwarderContext& c : started) {
    ASSERT_TRUE(c.pairStop);
    EXPECT_EQ(c.shared, t.shared);
  }
  EXPECT_NE(started[0].pairStop, started[1].pairStop);

  t.report("192.168.0.51", "239.1.1.1", false);
  EXPECT_TRUE(started[1].pairStop->tryConsume());
  EXPECT_FALSE(started[0].pairStop->tryConsume());
  EXPECT_FALSE(started[2].pairStop->tryConsume());
  EXPECT_TRUE(eventually([&] {
    t.table.joinFinished();
    return t.table.retiredCount() == 0;
  }));
  EXPECT_EQ(t.forwarders.ended, 1);

  t.table.stopAll();
  EXPECT_EQ(t.forwarders.ended, 3);
  EXPECT_TRUE(t.table.pairs().empty());
  t.report("192.168.0.52", "239.1.1.1");  // after the stop: no new forwarder
  EXPECT_TRUE(t.table.pairs().empty());
}

// 32 groups per host and 256 pairs in all; a refusal is written once until
// the pair is accepted, and a removed pair counts until its forwarder ends.
TEST(MembershipTable, PairsPerHostAndInAllAreBounded) {
  Table t;
  const auto host = [](int h) { return "192.168.0." + std::to_string(10 + h); };
  const auto group = [](int g) { return "239.1.0." + std::to_string(1 + g); };
  const auto refused = [](const std::string& h, const std::string& g) {
    const std::string line =
        "Igmp snooper: Too many groups for host " + h + ", group " + g + " not forwarded";
    return std::pair<Lines, Lines>{{line}, {line}};
  };
  const auto report = [&](int h, int g, bool join = true) {
    t.report(host(h).c_str(), group(g).c_str(), join);
    return t.lines();
  };
  for (int h = 0; h < 8; ++h) {
    for (int g = 0; g < 32; ++g) ASSERT_EQ(report(h, g), said(kStarting, host(h), group(g)));
  }
  const struct {
    const char* what;
    int host;
    int group;
    bool join;
    bool joinEnded;  // the ended forwarders joined first
    std::pair<Lines, Lines> said;
  } steps[] = {
      {"33rd group of a host", 0, 32, true, false, refused(host(0), group(32))},
      {"its next report", 0, 32, true, false, {}},
      {"257th pair", 8, 0, true, false, refused(host(8), group(0))},
      {"leave of an accepted pair", 1, 0, false, false, said(kStopping, host(1), group(0))},
      {"its forwarder not yet joined", 8, 0, true, false, {}},
      {"once joined: accepted", 8, 0, true, true, said(kStarting, host(8), group(0))},
      {"full again: refused, not repeated", 0, 32, true, false, {}},
      {"leave of a refused pair", 0, 32, false, false, {}},
      {"then refused afresh", 0, 32, true, false, refused(host(0), group(32))},
  };
  for (const auto& s : steps) {
    if (s.joinEnded) {
      ASSERT_TRUE(eventually([&] {
        t.table.joinFinished();
        return t.table.retiredCount() == 0;
      }));
    }
    EXPECT_EQ(report(s.host, s.group, s.join), s.said) << s.what;
  }
  EXPECT_EQ(t.table.pairs().size(), kMostPairs);
  EXPECT_TRUE(eventually([&] { return t.forwarders.count() == kMostPairs + 1; }));
}

// Pairs made at 1000 (expiry 1260) and 1100 (expiry 1360); a group with two
// hosts is due once; groups in address order (239.2.1.1 after 239.1.1.2,
// which a sort of the raw network-order values would not give).
TEST(MembershipTable, DueGroupsAndLapse) {
  Table t;
  t.report("192.168.0.50", "239.2.1.1");
  t.report("192.168.0.50", "239.1.1.2");
  t.report("192.168.0.50", "239.1.1.1");
  t.report("192.168.0.51", "239.1.1.1");
  t.now = 1100;
  t.report("192.168.0.52", "239.3.0.1");
  t.lines();
  const struct {
    std::int64_t now;
    int wait;
    std::vector<const char*> due;
    std::size_t pairsLeft;
  } checks[] = {
      {1249, 260, {}, 5},
      {1250, 10, {"239.1.1.1", "239.1.1.2", "239.2.1.1"}, 5},
      {1270, 10, {"239.1.1.1", "239.1.1.2", "239.2.1.1"}, 5},
      {1271, 260, {}, 1},  // lapsed, silently
      {1350, 10, {"239.3.0.1"}, 1},
  };
  for (const auto& c : checks) {
    t.now = c.now;
    std::vector<platform::Ipv4> pending;
    EXPECT_EQ(t.table.collectDueGroups(pending), c.wait) << "at " << c.now;
    std::vector<platform::Ipv4> due;
    for (const char* g : c.due) due.push_back(parseIpv4(g));
    EXPECT_EQ(pending, due) << "at " << c.now;
    EXPECT_EQ(t.table.pairs().size(), c.pairsLeft) << "at " << c.now;
  }
  EXPECT_EQ(t.lines(), (std::pair<Lines, Lines>{}));
  EXPECT_TRUE(eventually([&] { return t.forwarders.ended == 4; }));
}

// The log line has two spaces for a group taken right after the collection.
TEST(MembershipTable, GroupQueryLines) {
  Table t;
  t.report("192.168.0.50", "239.1.1.2");
  t.report("192.168.0.50", "239.1.1.1");
  t.lines();
  t.now += 250;
  std::vector<platform::Ipv4> pending;
  const struct {
    const char* group;
    std::optional<int> wait;
    std::string log;
  } steps[] = {
      {"239.1.1.1", 10, "Igmp snooper: Sending query for group  239.1.1.1"},
      {"239.1.1.2", std::nullopt, "Igmp snooper: Sending query for group 239.1.1.2"},
      {"239.1.1.1", 10, "Igmp snooper: Sending query for group  239.1.1.1"},
  };
  for (const auto& s : steps) {
    const GroupCheck check = t.table.nextGroupQuery(pending);
    EXPECT_EQ(check.group, parseIpv4(s.group));
    EXPECT_EQ(check.nextWaitSeconds, s.wait);
    const auto [console, log] = t.lines();
    EXPECT_EQ(console,
              Lines{"Igmp snooper: Sending query for group " + std::string(s.group) + " "});
    EXPECT_EQ(log, Lines{s.log});
  }
  t.now += 100;  // both lapsed: nothing to query, nothing written
  pending.clear();
  const GroupCheck none = t.table.nextGroupQuery(pending);
  EXPECT_FALSE(none.group);
  EXPECT_EQ(none.nextWaitSeconds, 260);
  EXPECT_EQ(t.lines(), (std::pair<Lines, Lines>{}));
}

// The snooper opens real sockets (with CAP_NET_RAW it queries loopback), so
// it runs in a network namespace of its own when one can be had.
void enterPrivateLoopback() {
  if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return;
  platform::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) return;
  request.ifr_flags = short(request.ifr_flags | IFF_UP);
  ::ioctl(fd.get(), SIOCSIFFLAGS, &request);
}

TEST(IgmpSnooper, StopEndsEveryThreadAndClosesEverySocket) {
  enterPrivateLoopback();
  const std::size_t tasks = testsupport::threadCount();
  const std::size_t fds = testsupport::entriesIn("/proc/self/fd");
  std::mutex lock;
  Lines console;
  SnooperSettings settings;
  settings.listenAddress = parseIpv4("127.0.0.1");
  settings.console = [&](std::string_view line) {
    std::lock_guard<std::mutex> hold(lock);
    console.emplace_back(line);
  };
  Forwarders forwarders;
  {
    IgmpSnooper snooper(settings, forwarders.body());
    const std::size_t fdsOfEvents = testsupport::entriesIn("/proc/self/fd");
    snooper.start();
    snooper.start();
    // Either the querier's first query or both sockets refused.
    const auto seen = [&] {
      std::lock_guard<std::mutex> hold(lock);
      std::size_t refused = 0;
      for (const std::string& line : console) {
        if (line == "Igmp snooper: Sending general query (224.0.0.1) ") return true;
        refused += line.starts_with("Igmp snooper: Can't create raw socket. Error code: ");
      }
      return refused == 2;
    };
    EXPECT_TRUE(eventually(seen));
    EXPECT_GT(testsupport::threadCount(), tasks);
    snooper.stop();
    // A joined thread may linger in /proc a moment after the join returns.
    EXPECT_TRUE(eventually([&] { return testsupport::threadCount() == tasks; }));
    EXPECT_EQ(testsupport::entriesIn("/proc/self/fd"), fdsOfEvents);
    snooper.stop();
  }
  { IgmpSnooper neverStarted(settings, forwarders.body()); }
  EXPECT_TRUE(eventually([&] { return testsupport::threadCount() == tasks; }));
  EXPECT_EQ(testsupport::entriesIn("/proc/self/fd"), fds);
}

}  // namespace
}  // namespace relay
