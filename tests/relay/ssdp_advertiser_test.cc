#include "relay/upnp/ssdp_advertiser.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/os_token.h"
#include "platform/wait.h"
#include "relay/upnp/descriptions.h"
#include "tests/support/private_network.h"

namespace relay {
namespace {

const std::string kUuid(kDeviceUuid);
const std::string kTail =
    "Location: http://198.18.2.1:2901/description.xml\r\n"
    "Cache-Control: max-age=1800\r\n"
    "Ext:\r\n"
    "Server: Linux/6.1 UPnP/1.0 UPnP-Device-Host/1.0\r\n"
    "BOOTID.UPNP.ORG: 4000000000\r\n"
    "CONFIGID.UPNP.ORG: 18893\r\n"
    "\r\n";

std::string notify(const std::string& nt, const std::string& nts, const std::string& usn) {
  return "NOTIFY * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nNT: " + nt + "\r\nNTS: " + nts +
         "\r\nUSN: " + usn + "\r\n" + kTail;
}

std::string answer(const std::string& st, const std::string& usn) {
  return "HTTP/1.1 200 OK\r\nHost: 239.255.255.250:1900\r\nST: " + st + "\r\nUSN: " + usn + "\r\n" +
         kTail;
}

// Catches any drift in a header name, a line end, the order of the tail or
// the numbering the senders rely on (announcement 2t, answer 2t + 1).
TEST(SsdpMessages, EveryMessageByteForByte) {
  const std::string root = "upnp:rootdevice";
  const std::string device = "urn:schemas-upnp-org:device:MediaServer:1";
  const std::string directory = "urn:schemas-upnp-org:service:ContentDirectory:1";
  const std::string manager = "urn:schemas-upnp-org:service:ConnectionManager:1";
  const std::string u = "uuid:" + kUuid;
  const std::string expected[kSsdpMessageCount] = {
      notify(root, "ssdp:alive", u + "::" + root),
      answer(root, u + "::" + root),
      notify(u, "ssdp:alive", u),
      answer(u, u),
      notify(device, "ssdp:alive", u + "::" + device),
      answer(device, u + "::" + device),
      notify(directory, "ssdp:alive", u + "::" + directory),
      answer(directory, u + "::" + directory),
      notify(manager, "ssdp:alive", u + "::" + manager),
      answer(manager, u + "::" + manager),
      notify(root, "ssdp:byebye", u + "::" + root),
  };
  // A boot id above 2^31 shows it is written unsigned.
  const SsdpMessages messages = buildSsdpMessages("198.18.2.1", 2901, "Linux/6.1", 4000000000u);
  for (std::size_t i = 0; i < kSsdpMessageCount; ++i) {
    EXPECT_EQ(messages[i], expected[i]) << "message " << i;
  }
}

TEST(SsdpMessages, IndicesPerOccasion) {
  const struct {
    int type;
    bool multicast;
    std::vector<std::size_t> indices;
  } cases[] = {
      {kSsdpAllTypes, true, {0, 2, 4, 6, 8}},
      {kSsdpAllTypes, false, {1, 3, 5, 7, 9}},
      {kSsdpRootDevice, false, {1}},
      {kSsdpConnectionManager, true, {8}},
      {kSsdpByeBye, true, {10}},
      {kSsdpByeBye, false, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ssdpMessageIndices(c.type, c.multicast), c.indices)
        << "type " << c.type << (c.multicast ? " multicast" : " unicast");
  }
}

std::string search(const std::string& headers, const std::string& eol = "\r\n") {
  std::string text = "M-SEARCH * HTTP/1.1" + eol + "HOST: 239.255.255.250:1900" + eol;
  std::size_t start = 0;
  while (start <= headers.size()) {
    const std::size_t end = std::min(headers.find('|', start), headers.size());
    text += headers.substr(start, end - start) + eol;
    start = end + 1;
  }
  return text + eol;
}

TEST(SsdpSearch, WhatIsAnsweredAndAfterWhichSpread) {
  const std::string man = "MAN: \"ssdp:discover\"|";
  const struct {
    const char* what;
    std::string datagram;
    std::optional<int> type;
    std::uint32_t spread = 0;
  } cases[] = {
      {"no MX", search(man + "ST: ssdp:all"), std::nullopt},
      {"MX of blanks only", search(man + "MX:   |ST: ssdp:all"), std::nullopt},
      {"MX: with nothing after it", search(man + "MX:|ST: ssdp:all"), std::nullopt},
      {"MX 0", search(man + "MX: 0|ST: ssdp:all"), kSsdpAllTypes, 1},
      {"MX 3", search(man + "MX: 3|ST: ssdp:all"), kSsdpAllTypes, 3},
      {"MX 30", search(man + "MX: 30|ST: ssdp:all"), kSsdpAllTypes, 30},
      {"MX 31", search(man + "MX: 31|ST: ssdp:all"), kSsdpAllTypes, 5},
      {"MX 120", search(man + "MX: 120|ST: ssdp:all"), kSsdpAllTypes, 5},
      {"MX -4", search(man + "MX: -4|ST: ssdp:all"), kSsdpAllTypes, 4},
      {"MX -6", search(man + "MX: -6|ST: ssdp:all"), kSsdpAllTypes, 5},
      {"MX int32 min", search(man + "MX: -2147483648|ST: ssdp:all"), kSsdpAllTypes, 5},
      {"MX beyond int32", search(man + "MX: 2147483648|ST: ssdp:all"), kSsdpAllTypes, 1},
      {"MX letters", search(man + "MX: abc|ST: ssdp:all"), kSsdpAllTypes, 1},
      {"later MX wins", search("MX: 1|MX: 4|ST: ssdp:all"), kSsdpAllTypes, 4},
      {"lower-case names", search("mx: 2|st: upnp:rootdevice"), kSsdpRootDevice, 2},
      {"upper-case ST value", search(man + "MX: 2|ST: UPNP:ROOTDEVICE"), std::nullopt},
      {"blank before colon", search(man + "MX: 2|ST : upnp:rootdevice"), std::nullopt},
      {"ST trimmed", search(man + "MX: 2|ST:   upnp:rootdevice  "), kSsdpRootDevice, 2},
      {"later ST wins", search("ST: nothing|MX: 2|ST: upnp:rootdevice"), kSsdpRootDevice, 2},
      {"MAN missing", search("MX: 2|ST: upnp:rootdevice"), kSsdpRootDevice, 2},
      {"MAN anything", search("MAN: whatever|MX: 2|ST: upnp:rootdevice"), kSsdpRootDevice, 2},
      {"device uuid", search("MX: 2|ST: uuid:" + kUuid), kSsdpDeviceUuid, 2},
      {"device uuid in lower case", search("MX: 2|ST: uuid:5a3c9e71-4b2d-4f08-9c61-2e7d8b0a4f13"),
       std::nullopt},
      {"device type", search("MX: 2|ST: urn:schemas-upnp-org:device:MediaServer:1"),
       kSsdpDeviceType, 2},
      {"ContentDirectory", search("MX: 2|ST: urn:schemas-upnp-org:service:ContentDirectory:1"),
       kSsdpContentDirectory, 2},
      {"ConnectionManager", search("MX: 2|ST: urn:schemas-upnp-org:service:ConnectionManager:1"),
       kSsdpConnectionManager, 2},
      {"no ST", search("MX: 2"), std::nullopt},
      {"CR only", search(man + "MX: 3|ST: ssdp:all", "\r"), kSsdpAllTypes, 3},
      {"LF only", search(man + "MX: 3|ST: ssdp:all", "\n"), kSsdpAllTypes, 3},
      {"NOTIFY", "NOTIFY * HTTP/1.1\r\nMX: 3\r\nST: ssdp:all\r\n\r\n", std::nullopt},
      {"HTTP response", "HTTP/1.1 200 OK\r\nMX: 3\r\nST: ssdp:all\r\n\r\n", std::nullopt},
      {"lower-case method", "m-search * HTTP/1.1\r\nMX: 3\r\nST: ssdp:all\r\n\r\n", std::nullopt},
      {"exactly the 15 bytes", "M-SEARCH * HTTP", std::nullopt},
      {"headers on the request line", "M-SEARCH * HTTP MX: 3 ST: ssdp:all", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<SsdpSearch> found = readSsdpSearch(c.datagram);
    ASSERT_EQ(found.has_value(), c.type.has_value()) << c.what;
    if (!found) continue;
    EXPECT_EQ(found->type, *c.type) << c.what;
    EXPECT_EQ(found->spread, c.spread) << c.what;
  }
}

// The advertiser binds port 1900 and multicasts: these run it in a private
// network namespace.
using testsupport::enterPrivateLoopback;

// A peer on loopback: a searcher (unicast to the listen port) that is also
// a member of the group on loopback.
struct Peer {
  platform::Socket searcher;
  platform::Socket group;

  explicit Peer(const char* searcherAddress = "127.0.0.1") {
    int error = 0;
    searcher = platform::Socket::udp(error);
    searcher.bind(platform::parseIpv4(searcherAddress), 0);
    group = platform::Socket::udp(error);
    group.setReuseAddress(true);
    // Bound to the group: unicast searches to port 1900 stay the advertiser's.
    group.bind(platform::parseIpv4("239.255.255.250"), kSsdpPort);
    group.joinGroup(platform::parseIpv4("239.255.255.250"), platform::parseIpv4("127.0.0.1"));
  }

  void sendSearch(const std::string& datagram) {
    const sockaddr_in to = platform::makeSockaddr(platform::parseIpv4("127.0.0.1"), kSsdpPort);
    ::sendto(searcher.fd(), datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

  // The datagrams that arrive on `socket` within `ms`.
  static std::vector<std::string> receive(platform::Socket& socket, int ms) {
    std::vector<std::string> got;
    const std::int64_t deadline = platform::monotonicMs() + ms;
    const platform::WaitItem items[] = {platform::WaitItem::readable(socket.fd())};
    for (std::int64_t left = ms; left > 0; left = deadline - platform::monotonicMs()) {
      if (platform::waitAny(items, int(left)).status != platform::WaitStatus::Signalled) break;
      char buffer[2048];
      const ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) got.emplace_back(buffer, std::size_t(n));
    }
    return got;
  }
};

std::vector<std::string> pick(const SsdpMessages& messages, int type, bool multicast) {
  std::vector<std::string> picked;
  for (std::size_t i : ssdpMessageIndices(type, multicast)) picked.push_back(messages[i]);
  return picked;
}

TEST(SsdpAdvertiserRun, AnnouncesAnswersAndSaysGoodbyeOnce) {
  if (!enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  Peer peer;
  SsdpAdvertiser advertiser("127.0.0.1", 2901);
  const SsdpMessages messages =
      buildSsdpMessages("127.0.0.1", 2901, platform::serverToken(), advertiser.bootId());
  advertiser.start();
  EXPECT_EQ(Peer::receive(peer.group, 500), pick(messages, kSsdpAllTypes, true));

  peer.sendSearch(search("MX: 0|ST: ssdp:all"));
  EXPECT_EQ(Peer::receive(peer.searcher, 500), pick(messages, kSsdpAllTypes, false));
  peer.sendSearch("NOTIFY * HTTP/1.1\r\nMX: 0\r\nST: ssdp:all\r\n\r\n");
  peer.sendSearch(search("ST: ssdp:all"));
  EXPECT_TRUE(Peer::receive(peer.searcher, 300).empty());

  advertiser.stop();
  advertiser.stop();
  EXPECT_EQ(Peer::receive(peer.group, 300), std::vector<std::string>{messages[10]});
}

// --allow: a search from a host outside the list gets nothing, one from a
// host in it the answers, and the announcements go out either way.
TEST(SsdpAdvertiserRun, SearchesAnsweredOnlyForAllowedHosts) {
  if (!enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const struct {
    const char* searcher;
    bool answered;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.2", false},
  };
  for (const auto& c : cases) {
    Peer peer(c.searcher);
    SsdpAdvertiser advertiser("127.0.0.1", 2901, kDeviceUuid,
                              *platform::AddressList::parse("127.0.0.1"));
    const SsdpMessages messages =
        buildSsdpMessages("127.0.0.1", 2901, platform::serverToken(), advertiser.bootId());
    advertiser.start();
    EXPECT_EQ(Peer::receive(peer.group, 500), pick(messages, kSsdpAllTypes, true)) << c.searcher;
    peer.sendSearch(search("MX: 0|ST: ssdp:all"));
    EXPECT_EQ(Peer::receive(peer.searcher, 500),
              c.answered ? pick(messages, kSsdpAllTypes, false) : std::vector<std::string>{})
        << c.searcher;
  }
}

// Answers still waiting for their delay must end with the stop, not run on
// into a destroyed advertiser (ASan reports that as a use after free), and a
// flood of searches must not pile up threads.
TEST(SsdpAdvertiserRun, WaitingAnswersAreBoundedAndEndWithTheStop) {
  if (!enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  Peer peer;
  const std::size_t before = testsupport::threadCount();
  constexpr int kSearches = 200;
  std::size_t answered = 0;
  {
    SsdpAdvertiser advertiser("127.0.0.1", 2901);
    advertiser.start();
    Peer::receive(peer.group, 300);
    // Delays of up to 29 s: most are still waiting at the stop.
    for (int i = 0; i < kSearches; ++i) peer.sendSearch(search("MX: 30|ST: ssdp:all"));
    answered += Peer::receive(peer.searcher, 300).size();
    // The listener, repeat and answer threads, however many searches wait.
    EXPECT_LE(testsupport::threadCount(), before + 3);
    const std::int64_t stopping = platform::monotonicMs();
    advertiser.stop();
    EXPECT_LT(platform::monotonicMs() - stopping, 10000) << "the stop waited for delays";
  }
  // A joined thread may linger in /proc a moment after the join returns.
  EXPECT_TRUE(testsupport::eventually([&] { return testsupport::threadCount() == before; }));
  answered += Peer::receive(peer.searcher, 200).size();
  EXPECT_LT(answered, std::size_t(kSearches) * 5 / 2);
}

TEST(SsdpAdvertiserRun, NeverStartedEndsAtOnceAndSendsNothing) {
  if (!enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  Peer peer;
  { SsdpAdvertiser advertiser("127.0.0.1", 2901); }
  EXPECT_TRUE(Peer::receive(peer.group, 200).empty());
}

TEST(SsdpAdvertiserRun, DestroyedWhileRunningSaysGoodbye) {
  if (!enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  Peer peer;
  std::string byebye;
  {
    SsdpAdvertiser advertiser("127.0.0.1", 2901);
    byebye = buildSsdpMessages("127.0.0.1", 2901, platform::serverToken(), advertiser.bootId())[10];
    advertiser.start();
    Peer::receive(peer.group, 300);
  }
  EXPECT_EQ(Peer::receive(peer.group, 300), std::vector<std::string>{byebye});
}

}  // namespace
}  // namespace relay
