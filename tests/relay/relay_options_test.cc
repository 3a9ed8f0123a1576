#include "relay/app/relay_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "common/version.h"

namespace {

using relay::CommandLine;
using relay::parseRelayCommandLine;

struct Captured {
  std::vector<std::string> lines;
  common::LineWriter writer() {
    return [this](std::string_view line) { lines.emplace_back(line); };
  }
  bool has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

const char kUsageFirstBox[] = "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+";
const char kNoPlaylist[] = "You didn't provide playlist file, DLNA server will be disabled.";
const char kBadPlaylist[] = "Playalist doesn't exists, DLNA server will be disabled !!!";
const char kSearching[] = "Searching for network cards...";

class RelayCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("relay_options_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    playlist_ = (folder_ / "list.m3u").string();
    std::ofstream(playlist_) << "#EXTM3U\n";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  CommandLine parse(std::vector<std::string> args, Captured& out) {
    args.insert(args.begin(), "tessaran");
    return parseRelayCommandLine(args, out.writer());
  }

  std::filesystem::path folder_;
  std::string playlist_;
};

TEST_F(RelayCommandLine, UsageAndVersionCases) {
  enum class Shows { usage, version, walk };
  struct Case {
    std::vector<std::string> args;
    Shows shows;
  };
  const Case cases[] = {
      {{}, Shows::usage},
      {{"-li", "1.2.3.4"}, Shows::usage},        // two arguments are too few
      {{"-li", "1.2.3.4", "-lp"}, Shows::walk},  // three pass the count test ...
      {{"-h", "-li", "1.2.3.4"}, Shows::usage},
      {{"a", "b", "--help"}, Shows::usage},
      {{"x", "-help", "y"}, Shows::usage},
      {{"x", "-H", "y"}, Shows::walk},  // options are case-sensitive
      {{"--version"}, Shows::version},  // also on a short command line
      {{"-li", "1.2.3.4", "-lp", "8000", "--version"}, Shows::version},
      {{"--version", "-h"}, Shows::version},  // the first of the two counts
      {{"-h", "--version"}, Shows::usage},
      {{"-p", "--version", "-li", "x"}, Shows::walk},  // a value, not the option
      {{"-li", "x", "--Version"}, Shows::walk},
  };
  for (const Case& c : cases) {
    Captured out;
    const CommandLine line = parse(c.args, out);
    SCOPED_TRACE(testing::PrintToString(c.args));
    switch (c.shows) {
      case Shows::usage:
        EXPECT_TRUE(line.usageShown);
        EXPECT_FALSE(line.exitStatus);
        ASSERT_EQ(out.lines.size(), 18u);
        EXPECT_EQ(out.lines[1], kUsageFirstBox);
        EXPECT_FALSE(out.has(kSearching));  // the usage skips the playlist tests
        break;
      case Shows::version:
        EXPECT_FALSE(line.usageShown);
        EXPECT_EQ(line.exitStatus, 0);  // and nothing else is done
        EXPECT_EQ(out.lines,
                  (std::vector<std::string>{"tessaran " + std::string(common::kVersion)}));
        break;
      case Shows::walk:
        EXPECT_FALSE(line.usageShown);
        EXPECT_NE(line.exitStatus, 0);
        EXPECT_FALSE(out.has("tessaran " + std::string(common::kVersion)));
        break;
    }
  }
}

TEST_F(RelayCommandLine, MissingValueIsRefusedWithoutReadingPastTheEnd) {
  // ... but "-lp" there has no value.
  Captured out;
  const CommandLine line = parse({"-li", "1.2.3.4", "-lp"}, out);
  EXPECT_EQ(line.exitStatus, relay::kExitBadCommandLine);
  ASSERT_FALSE(out.lines.empty());
  EXPECT_EQ(out.lines[0], "Missing value for option -lp");
  EXPECT_TRUE(out.has(kUsageFirstBox));
}

TEST_F(RelayCommandLine, PortsMustBeUnsigned16BitNumbers) {
  struct Case {
    std::vector<std::string> args;
    bool refused;
  };
  const Case cases[] = {
      {{"-lp", "70000", "x"}, true},
      {{"-lp", "port", "x"}, true},
      {{"-fp", "", "x"}, true},
      {{"-fp", "-x", "x"}, true},
      {{"-lp", "8000abc", "x"}, false},  // the number's text ends at the letters
      {{"-lp", " 65535", "-fp", "0"}, false},
  };
  for (const Case& c : cases) {
    Captured out;
    const CommandLine line = parse(c.args, out);
    SCOPED_TRACE(testing::PrintToString(c.args));
    if (c.refused) {
      EXPECT_EQ(line.exitStatus, relay::kExitBadCommandLine);
      ASSERT_FALSE(out.lines.empty());
      EXPECT_EQ(out.lines[0], "Failed conversion from string");
      EXPECT_TRUE(out.has(kUsageFirstBox));
    } else {
      EXPECT_FALSE(line.exitStatus);
    }
  }
}

TEST_F(RelayCommandLine, WalkStoresValues) {
  Captured out;
  const CommandLine line =
      parse({"--with-dlna", "-li", "-lp", "-lp", "8000", "-lp", "9000", "-ri", "10.0.0.1", "-fp",
             "1234", "--playlist-protocol-info", "video/x:*", "--recv-timeout", "12",
             "--with-igmpsnooper", "stray"},
            out);
  const relay::RelayOptions& o = line.options;
  EXPECT_EQ(o.listenAddress, "-lp");  // a value that looks like an option is still a value
  EXPECT_EQ(o.listenPort, "9000");    // the last occurrence wins
  EXPECT_EQ(o.receiveAddress, "10.0.0.1");
  EXPECT_EQ(o.forwardPort, "1234");
  EXPECT_EQ(o.playlistProtocolInfo, "video/x:*");
  EXPECT_EQ(o.recvTimeoutText, "12");
  EXPECT_TRUE(o.igmpSnooperEnabled);
  EXPECT_FALSE(o.dlnaEnabled);
  EXPECT_EQ(out.lines, (std::vector<std::string>{kNoPlaylist, kSearching}));
}

// What the services get is read once from the accepted text, the way the
// port rule reads it: a port written "8000abc" is 8000 everywhere, the SSDP
// Location included, never the text itself.
TEST_F(RelayCommandLine, SettingsAreTheValuesTheTextsStandFor) {
  struct Case {
    std::vector<std::string> args;
    relay::RelaySettings expected;
    std::string receiveInterface{};  // -ri read as an interface name
  };
  const platform::Ipv4 none = INADDR_NONE;
  const Case cases[] = {
      {{"-li", "198.18.2.1", "-lp", "8000abc", "-ri", "198.18.1.2", "-fp", " 5000"},
       {platform::parseIpv4("198.18.2.1"), 8000, 5000, platform::parseIpv4("198.18.1.2"), 30,
        std::nullopt}},
      {{"-li", "", "-lp", "-1", "-ri", "198.18.1.2", "--recv-timeout", "99"},
       {0, 65535, 0, platform::parseIpv4("198.18.1.2"), 60, std::nullopt}},
      // Whatever inet_addr reads stays an address, however it is written;
      // the rest names an interface, its address known only at start.
      {{"-li", "", "-lp", "1", "-ri", "198.18.001.2"},
       {0, 1, 0, platform::parseIpv4("198.18.1.2"), 30, std::nullopt}},
      {{"-li", "", "-lp", "1", "-ri", "255.255.255.255"}, {0, 1, 0, none, 30, std::nullopt}},
      {{"-li", "", "-lp", "1", "-ri", ""}, {0, 1, 0, none, 30, std::nullopt}},
      {{"-li", "", "-lp", "1", "-ri", "eth1.4"}, {0, 1, 0, 0, 30, std::nullopt}, "eth1.4"},
      {{"-li", "", "-lp", "1", "-ri", "198.18.1.2x"},
       {0, 1, 0, 0, 30, std::nullopt},
       "198.18.1.2x"},
  };
  for (const Case& c : cases) {
    Captured out;
    const relay::RelaySettings s = parse(c.args, out).settings;
    EXPECT_EQ(s.listenAddress, c.expected.listenAddress) << c.args[1];
    EXPECT_EQ(s.listenPort, c.expected.listenPort) << c.args[3];
    EXPECT_EQ(s.forwardPort, c.expected.forwardPort);
    EXPECT_EQ(s.receiveAddress, c.expected.receiveAddress) << c.args[5];
    EXPECT_EQ(s.receiveInterface, c.receiveInterface);
    EXPECT_EQ(s.receiveInterfaceIndex, 0);  // looked up at start
    EXPECT_EQ(s.recvTimeoutSeconds, c.expected.recvTimeoutSeconds);
  }
}

// At start a name becomes the interface's index and the address it holds
// now, loopback's too; an unknown name is refused, an address left alone.
TEST(ReceiveInterface, ResolvedAtStart) {
  struct Case {
    std::string name;
    bool known;
    bool indexed;
    platform::Ipv4 address;
  };
  const Case cases[] = {
      {"", true, false, platform::parseIpv4("198.18.1.2")},
      {"lo", true, true, platform::parseIpv4("127.0.0.1")},
      {"no-such-if0", false, false, 0},
      {std::string(40, 'e'), false, false, 0},  // longer than any interface name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    relay::RelaySettings settings;
    settings.receiveInterface = c.name;
    if (c.name.empty()) settings.receiveAddress = platform::parseIpv4("198.18.1.2");
    EXPECT_EQ(relay::resolveReceiveInterface(settings), c.known);
    EXPECT_EQ(settings.receiveInterfaceIndex != 0, c.indexed);
    EXPECT_EQ(settings.receiveAddress, c.address);
  }
}

TEST_F(RelayCommandLine, PlaylistDecidesTheMediaServer) {
  struct Case {
    std::vector<std::string> args;
    bool dlna;
    std::vector<std::string> lines;
  };
  const std::string missing = (folder_ / "absent.m3u").string();
  const std::string folder = folder_.string();
  const Case cases[] = {
      {{"-li", "a", "-ri", "b"}, false, {kNoPlaylist, kSearching}},
      {{"--without-dlna", "-li", "a"}, false, {kNoPlaylist, kSearching}},
      {{"-p", missing, "-li", "a"}, false, {kBadPlaylist, kSearching}},
      {{"-p", folder, "-li", "a"}, false, {kBadPlaylist, kSearching}},
      {{"-p", playlist_, "-li", "a"}, true, {kSearching}},
      {{"-p", playlist_, "--without-dlna", "x"}, false, {kSearching}},
      // A URL is only known once fetched, at start.
      {{"-p", "http://198.18.9.9/list.m3u", "-li", "a"}, true, {kSearching}},
      {{"-p", "HTTPS://198.18.9.9/list.m3u", "-li", "a"}, true, {kSearching}},
      {{"-p", "ftp://198.18.9.9/list.m3u", "-li", "a"}, false, {kBadPlaylist, kSearching}},
  };
  for (const Case& c : cases) {
    Captured out;
    const CommandLine line = parse(c.args, out);
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(line.options.dlnaEnabled, c.dlna);
    EXPECT_EQ(out.lines, c.lines);
  }
}

TEST_F(RelayCommandLine, MaxFetchRefreshTunersReorderRejoinAndCache) {
  struct Case {
    std::vector<std::string> args;
    const char* refusal;  // nullptr: accepted
    std::optional<std::uint32_t> maxFetchMb;
    std::uint32_t refreshMinutes = 720;
    unsigned tuners = 4;
    bool tuner = true;
    std::uint32_t rtpReorder = 32;
    std::uint32_t rejoinSeconds = 0;
  };
  const char* const fetch = relay::kMaxFetchRefusedText;
  const char* const refresh = relay::kRefreshRefusedText;
  const char* const tuners = relay::kTunersRefusedText;
  const char* const reorder = relay::kRtpReorderRefusedText;
  const char* const rejoin = relay::kRejoinRefusedText;
  const Case cases[] = {
      {{"-li", "a", "-ri", "b"}, nullptr, std::nullopt},
      {{"--max-fetch", "200", "-li", "a"}, nullptr, 200},
      {{"--max-fetch", "8MB", "-li", "a"}, nullptr, 8},  // read as the ports are read
      {{"--max-fetch", "0", "-li", "a"}, fetch, std::nullopt},
      {{"--max-fetch", "lots", "-li", "a"}, fetch, std::nullopt},
      {{"--max-fetch", "99999999999", "-li", "a"}, fetch, std::nullopt},
      {{"--refresh", "0", "-li", "a"}, nullptr, std::nullopt, 0},
      {{"--refresh", "60", "-li", "a"}, nullptr, std::nullopt, 60},
      {{"--refresh", "-1", "-li", "a"}, refresh, std::nullopt},
      {{"--refresh", "weekly", "-li", "a"}, refresh, std::nullopt},
      {{"--refresh", "600000", "-li", "a"}, refresh, std::nullopt},  // over a year
      {{"--tuners", "1", "-li", "a"}, nullptr, std::nullopt, 720, 1},
      {{"--tuners", "64", "--without-tuner", "-li", "a"}, nullptr, std::nullopt, 720, 64, false},
      {{"--tuners", "0", "-li", "a"}, tuners, std::nullopt},
      {{"--tuners", "65", "-li", "a"}, tuners, std::nullopt},
      {{"--tuners", "256", "-li", "a"}, tuners, std::nullopt},  // would wrap in a byte
      {{"--tuners", "four", "-li", "a"}, tuners, std::nullopt},
      {{"--rtp-reorder", "0", "-li", "a"}, nullptr, std::nullopt, 720, 4, true, 0},
      {{"--rtp-reorder", "1024", "-li", "a"}, nullptr, std::nullopt, 720, 4, true, 1024},
      {{"--rtp-reorder", "1025", "-li", "a"}, reorder, std::nullopt},
      {{"--rtp-reorder", "-1", "-li", "a"}, reorder, std::nullopt},
      {{"--rtp-reorder", "off", "-li", "a"}, reorder, std::nullopt},
      // More than an hour between reports would keep no switch's membership.
      {{"--rejoin", "60", "-li", "a"}, nullptr, std::nullopt, 720, 4, true, 32, 60},
      {{"--rejoin", "3600", "-li", "a"}, nullptr, std::nullopt, 720, 4, true, 32, 3600},
      {{"--rejoin", "3601", "-li", "a"}, rejoin, std::nullopt},
      {{"--rejoin", "4294967356", "-li", "a"}, rejoin, std::nullopt},  // wraps to 60 in 32 bits
      {{"--rejoin", "-4", "-li", "a"}, rejoin, std::nullopt},
      {{"--rejoin", "often", "-li", "a"}, rejoin, std::nullopt},
  };
  for (const Case& c : cases) {
    Captured out;
    const CommandLine line = parse(c.args, out);
    SCOPED_TRACE(testing::PrintToString(c.args));
    if (c.refusal != nullptr) {
      EXPECT_EQ(line.exitStatus, relay::kExitBadCommandLine);
      ASSERT_FALSE(out.lines.empty());
      EXPECT_EQ(out.lines[0], c.refusal);
      EXPECT_TRUE(out.has(kUsageFirstBox));
    } else {
      EXPECT_FALSE(line.exitStatus);
      EXPECT_EQ(line.settings.maxFetchMb, c.maxFetchMb);
      EXPECT_EQ(line.settings.refreshMinutes, c.refreshMinutes);
      EXPECT_EQ(line.settings.tunerCount, c.tuners);
      EXPECT_EQ(line.options.tunerEnabled, c.tuner);
      EXPECT_EQ(line.settings.rtpReorderPackets, c.rtpReorder);
      EXPECT_EQ(line.settings.rejoinSeconds, c.rejoinSeconds);
    }
  }
  Captured out;
  EXPECT_EQ(parse({"--cache", "/var/lib/x", "-li", "a"}, out).options.cacheDir, "/var/lib/x");
}

TEST_F(RelayCommandLine, SharedNetworkOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* refusal;  // nullptr: accepted
    const char* allow = "everyone";
    const char* adminAllow = "everyone";
    const char* token = "";
    std::uint32_t maxClients = 256;
    std::uint32_t maxPerHost = 64;
  };
  const char* const allow = relay::kAllowRefusedText;
  const char* const admin = relay::kAdminAllowRefusedText;
  const char* const token = relay::kTokenRefusedText;
  const char* const clients = relay::kMaxClientsRefusedText;
  const char* const perHost = relay::kMaxPerHostRefusedText;
  const Case cases[] = {
      {{"-li", "a", "-ri", "b"}, nullptr},
      {{"--allow", "192.168.1.0/24,10.0.0.5", "-li", "a"}, nullptr, "192.168.1.0/24,10.0.0.5/32"},
      {{"--admin-allow", "127.0.0.0/8", "-li", "a"}, nullptr, "everyone", "127.0.0.0/8"},
      {{"--token", "s3cr-et.~_", "-li", "a"}, nullptr, "everyone", "everyone", "s3cr-et.~_"},
      {{"--max-clients", "1", "--max-connections-per-host", "65535", "-li", "a"},
       nullptr,
       "everyone",
       "everyone",
       "",
       1,
       65535},
      // A list or token that does not read must not leave the relay open.
      {{"--allow", "192.168.1.0/24,", "-li", "a"}, allow},
      {{"--allow", "lan", "-li", "a"}, allow},
      {{"--admin-allow", "", "-li", "a"}, admin},
      {{"--admin-allow", "127.0.0.1/40", "-li", "a"}, admin},
      {{"--token", "", "-li", "a"}, token},
      {{"--token", "a b", "-li", "a"}, token},
      {{"--token", "a&b=c", "-li", "a"}, token},
      {{"--token", std::string(129, 'x'), "-li", "a"}, token},
      {{"--max-clients", "0", "-li", "a"}, clients},
      {{"--max-clients", "65536", "-li", "a"}, clients},
      {{"--max-connections-per-host", "0", "-li", "a"}, perHost},
      {{"--max-connections-per-host", "many", "-li", "a"}, perHost},
  };
  for (const Case& c : cases) {
    Captured out;
    const CommandLine line = parse(c.args, out);
    SCOPED_TRACE(testing::PrintToString(c.args));
    if (c.refusal != nullptr) {
      EXPECT_EQ(line.exitStatus, relay::kExitBadCommandLine);
      ASSERT_FALSE(out.lines.empty());
      EXPECT_EQ(out.lines[0], c.refusal);
    } else {
      EXPECT_FALSE(line.exitStatus);
      EXPECT_EQ(line.settings.allow.text(), c.allow);
      EXPECT_EQ(line.settings.adminAllow.text(), c.adminAllow);
      EXPECT_EQ(line.settings.token, c.token);
      EXPECT_EQ(line.settings.maxClients, c.maxClients);
      EXPECT_EQ(line.settings.maxConnectionsPerHost, c.maxPerHost);
    }
  }
}

TEST(RecvTimeout, DefaultsAndClamp) {
  struct Case {
    const char* text;
    bool dlna;
    int expected;
  };
  const Case cases[] = {
      {"", true, 6},
      {"", false, 30},
      {"0", true, 1},
      {"600", true, 60},
      {"abc", true, 6},
      {"abc", false, 30},
      {"12abc", false, 12},
      {"-5", false, 1},
      {" 7", true, 7},
      {"60", true, 60},
      {"1", false, 1},
      {"+20", true, 20},
      {"99999999999", false, 30},  // does not fit: kept as not a number
  };
  for (const Case& c : cases) {
    EXPECT_EQ(relay::recvTimeoutSeconds(c.text, c.dlna), c.expected)
        << '"' << c.text << "\" dlna=" << c.dlna;
  }
}

}  // namespace
