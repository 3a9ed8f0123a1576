#include "relay/igmp/multicast_forwarder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/wait.h"
#include "tests/support/private_network.h"

namespace relay {
namespace {

using platform::parseIpv4;

// ---------------------------------------------------------------------------
// Reading the port of a sniffed packet

struct PacketShape {
  const char* name;
  int headerWords = 5;             // IHL
  std::size_t totalLength = 0;     // 0: header + 8 + 12 payload bytes
  std::size_t receivedLength = 0;  // 0: the total length
  unsigned char protocol = 17;
  const char* destination = "239.1.2.3";
  std::uint16_t port = 5004;
  std::uint16_t fragment = 0;  // flags and offset field
  std::optional<std::uint16_t> expected;
};

constexpr std::optional<std::uint16_t> kNoPort;

std::vector<unsigned char> buildPacket(const PacketShape& shape) {
  const std::size_t headerLength = std::size_t(shape.headerWords) * 4;
  const std::size_t total = shape.totalLength != 0 ? shape.totalLength : headerLength + 20;
  const std::size_t received = shape.receivedLength != 0 ? shape.receivedLength : total;
  std::vector<unsigned char> packet(std::max(received, std::size_t(64)), 0xAA);
  packet[0] = static_cast<unsigned char>(0x40 | shape.headerWords);
  packet[2] = static_cast<unsigned char>(total >> 8);
  packet[3] = static_cast<unsigned char>(total);
  packet[6] = static_cast<unsigned char>(shape.fragment >> 8);
  packet[7] = static_cast<unsigned char>(shape.fragment);
  packet[9] = shape.protocol;
  const platform::Ipv4 destination = parseIpv4(shape.destination);
  std::memcpy(&packet[16], &destination, 4);
  if (headerLength + 4 <= packet.size()) {
    packet[headerLength] = 0x13;  // source port 5000, not to be mistaken for the destination
    packet[headerLength + 1] = 0x88;
    packet[headerLength + 2] = static_cast<unsigned char>(shape.port >> 8);
    packet[headerLength + 3] = static_cast<unsigned char>(shape.port);
  }
  packet.resize(received);
  return packet;
}

TEST(SniffedUdpPort, AcceptsOnlyWholeUdpPacketsToTheGroup) {
  const PacketShape cases[] = {
      {.name = "plain header", .expected = 5004},
      {.name = "header with options", .headerWords = 6, .expected = 5004},
      {.name = "high port", .port = 0xFFFE, .expected = 0xFFFE},
      {.name = "port 0 is still a port", .port = 0, .expected = 0},
      {.name = "total length low byte >= 0x80", .totalLength = 0xC8, .expected = 5004},
      {.name = "total length >= 256", .totalLength = 0x134, .expected = 5004},
      {.name = "link padding after the packet",
       .totalLength = 46,
       .receivedLength = 60,
       .expected = 5004},
      {.name = "first fragment", .fragment = 0x2000, .expected = 5004},
      {.name = "don't-fragment flag", .fragment = 0x4000, .expected = 5004},
      {.name = "later fragment", .fragment = 0x00B9, .expected = kNoPort},
      {.name = "shorter than a header",
       .totalLength = 19,
       .receivedLength = 19,
       .expected = kNoPort},
      {.name = "other group", .destination = "239.1.2.4", .expected = kNoPort},
      {.name = "truncated", .totalLength = 1344, .receivedLength = 1343, .expected = kNoPort},
      {.name = "IGMP report to the group", .protocol = 2, .expected = kNoPort},
      {.name = "header longer than the packet",
       .headerWords = 15,
       .totalLength = 62,
       .expected = kNoPort},
      {.name = "ports cut off", .totalLength = 23, .expected = kNoPort},
      {.name = "header length below minimum", .headerWords = 4, .expected = kNoPort},
  };
  for (const PacketShape& shape : cases) {
    const std::vector<unsigned char> packet = buildPacket(shape);
    EXPECT_EQ(sniffedUdpPort(packet, parseIpv4("239.1.2.3")), shape.expected) << shape.name;
  }
}

TEST(PortCache, FirstEntryForAGroupWins) {
  PortCache cache;
  const platform::Ipv4 a = parseIpv4("239.1.1.1");
  const platform::Ipv4 b = parseIpv4("239.1.1.2");
  EXPECT_EQ(cache.find(a), std::nullopt);
  cache.add(a, 5004);
  cache.add(a, 6000);
  cache.add(b, 0);
  cache.add(b, 1234);
  EXPECT_EQ(cache.find(a), 5004);
  EXPECT_EQ(cache.find(b), 0);  // a cached 0 is not "unknown"
  EXPECT_EQ(cache.find(parseIpv4("239.1.1.3")), std::nullopt);
}

// ---------------------------------------------------------------------------
// Whole forwarder runs on the loopback interface of a private network
// namespace: the test sends the group and plays the host.

using testsupport::enterPrivateLoopback;
using testsupport::eventually;

constexpr const char* kLoopback = "127.0.0.1";
// The forwarder sends only to hosts of the LAN, never to loopback: the host
// gets an address of a LAN subnet of its own on the loopback interface,
// whose relay (kRelay) is nowhere.
constexpr const char* kHostAddress = "198.18.3.2";
constexpr const char* kRelay = "198.18.3.1";
constexpr const char* kNetmask = "255.255.255.0";
constexpr std::size_t kDatagramBytes = 1316;
// Bounds every wait for the network, so a broken forwarder fails the test
// instead of hanging it.
constexpr int kPatienceMs = 10000;

std::size_t openFdCount() {
  return testsupport::entriesIn("/proc/self/fd");
}

std::string readFile(const char* path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The kernel prints addresses as the raw 32-bit value in hex.
std::string kernelHex(platform::Ipv4 address) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", address);
  return text;
}

bool groupJoined(platform::Ipv4 group) {
  return readFile("/proc/net/igmp").find(kernelHex(group)) != std::string::npos;
}

bool udpBound(platform::Ipv4 address, std::uint16_t port) {
  char local[16];
  std::snprintf(local, sizeof local, ":%04X", port);
  return readFile("/proc/net/udp").find(kernelHex(address) + local) != std::string::npos;
}

// Datagram `sequence` of `size` bytes (at least 4): its number, then bytes
// that depend on it, so any loss, repeat, reordering or merging shows in
// what the host receives.
std::vector<unsigned char> sourceDatagram(std::uint32_t sequence,
                                          std::size_t size = kDatagramBytes) {
  std::vector<unsigned char> datagram(size);
  const std::uint32_t number = htonl(sequence);
  std::memcpy(datagram.data(), &number, 4);
  for (std::size_t i = 4; i < datagram.size(); ++i) {
    datagram[i] = static_cast<unsigned char>(sequence * 7 + i);
  }
  return datagram;
}

// The size of source datagram `sequence` when the source cycles through
// `sizes`.
std::size_t sizeOf(std::uint32_t sequence, const std::vector<std::size_t>& sizes) {
  return sizes[sequence % sizes.size()];
}

// The multicast source: datagrams to the group, one per millisecond, their
// sizes taken in turn from `sizes`, until destroyed.
class GroupSource {
 public:
  GroupSource(platform::Ipv4 group, std::uint16_t port,
              std::vector<std::size_t> sizes = {kDatagramBytes}) {
    int error = 0;
    socket_ = platform::Socket::udp(error);
    socket_.setMulticastInterface(parseIpv4(kLoopback));
    thread_ = std::thread([this, group, port, sizes] {
      const sockaddr_in to = platform::makeSockaddr(group, port);
      for (std::uint32_t sequence = 0; !done_; ++sequence) {
        const std::vector<unsigned char> datagram =
            sourceDatagram(sequence, sizeOf(sequence, sizes));
        ::sendto(socket_.fd(), datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~GroupSource() {
    done_ = true;
    thread_.join();
  }

 private:
  platform::Socket socket_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Puts kHostAddress on the loopback interface; false when it cannot.
bool hostAddressOnLoopback() {
  static const bool added = [] {
    if (!enterPrivateLoopback()) return false;
    platform::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strcpy(request.ifr_name, "lo:1");
    auto* in = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = parseIpv4(kHostAddress);
    if (::ioctl(fd.get(), SIOCSIFADDR, &request) != 0) return false;
    in->sin_addr.s_addr = parseIpv4(kNetmask);
    return ::ioctl(fd.get(), SIOCSIFNETMASK, &request) == 0;
  }();
  return added;
}

// The host behind the snooper: a UDP socket on kHostAddress.
class Host {
 public:
  explicit Host(std::uint16_t port) {
    int error = 0;
    socket_ = platform::Socket::udp(error);
    // Room for a burst of the largest datagrams while the test checks.
    int granted = 0;
    bound_ = error == 0 && socket_.setReceiveBuffer(8 << 20, granted) == 0 &&
             socket_.bind(parseIpv4(kHostAddress), port) == 0;
  }
  bool bound() const { return bound_; }

  // The next datagram; empty when none came.
  std::vector<unsigned char> receive() {
    const platform::WaitItem items[] = {platform::WaitItem::readable(socket_.fd())};
    if (platform::waitAny(items, kPatienceMs).status != platform::WaitStatus::Signalled) return {};
    std::vector<unsigned char> datagram(65536);
    const ssize_t n = ::recv(socket_.fd(), datagram.data(), datagram.size(), MSG_DONTWAIT);
    datagram.resize(n > 0 ? std::size_t(n) : 0);
    return datagram;
  }

 private:
  platform::Socket socket_;
  bool bound_ = false;
};

// Receives `count` datagrams at `host` and checks that they are source
// datagrams with consecutive numbers, each intact and of the size it was
// sent with. The first may be any.
void expectSourceDatagrams(Host& host, int count, const std::vector<std::size_t>& sizes) {
  std::uint32_t next = 0;
  for (int i = 0; i < count; ++i) {
    const std::vector<unsigned char> got = host.receive();
    ASSERT_GE(got.size(), 4u) << "datagram " << i;
    if (i == 0) {
      std::memcpy(&next, got.data(), 4);
      next = ntohl(next);
    }
    const std::vector<unsigned char> expected = sourceDatagram(next, sizeOf(next, sizes));
    ASSERT_EQ(got.size(), expected.size()) << "datagram " << i << " (source " << next << ")";
    ASSERT_TRUE(got == expected) << "datagram " << i << " is not source datagram " << next;
    ++next;
  }
}

// One forwarder on its own thread, with the console captured.
class ForwarderRun {
 public:
  explicit ForwarderRun(std::shared_ptr<ForwarderShared> shared) : shared_(std::move(shared)) {
    shared_->report.console = [this](std::string_view line) {
      std::lock_guard guard(lock_);
      lines_.emplace_back(line);
    };
  }
  ~ForwarderRun() { end(); }

  void start(platform::Ipv4 group, const char* host = kHostAddress) {
    thread_ = std::thread([this, group, to = parseIpv4(host)] {
      runForwarder(ForwarderContext{group, to, pairStop_, shared_, nullptr});
      finished_ = true;
    });
  }
  void end() {
    if (!thread_.joinable()) return;
    pairStop_->set();
    // A forwarder deaf to its pair's stop still ends with the snooper's.
    if (!eventually([this] { return finished(); })) shared_->snooperStop.set();
    thread_.join();
  }
  platform::Event& pairStop() { return *pairStop_; }
  bool finished() const { return finished_; }
  std::vector<std::string> console() {
    std::lock_guard guard(lock_);
    return lines_;
  }

 private:
  std::shared_ptr<ForwarderShared> shared_;
  std::shared_ptr<platform::Event> pairStop_ =
      std::make_shared<platform::Event>(platform::Event::Reset::Manual);
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::mutex lock_;
  std::vector<std::string> lines_;
};

std::shared_ptr<ForwarderShared> loopbackShared(std::uint16_t forwardPort) {
  auto shared = std::make_shared<ForwarderShared>();
  shared->receiveAddress = parseIpv4(kLoopback);
  shared->forwardPort = forwardPort;
  shared->lan = LanSubnet{parseIpv4(kRelay), parseIpv4(kNetmask), {}, {}};
  return shared;
}

// The first forwarder of a group has to sniff its port; the host gets the
// stream on the group's own port (forward port 0): every source datagram
// after the first it gets as one datagram of its own, in order, unchanged
// and of the same size, however the sizes mix.
TEST(ForwarderRun, SniffsThePortAndForwardsEachDatagramUnchanged) {
  if (!hostAddressOnLoopback()) GTEST_SKIP() << "no network namespace of our own";
  struct Case {
    const char* name;
    const char* group;
    std::vector<std::size_t> sizes;
  };
  const Case cases[] = {
      {"1316-byte datagrams", "239.1.2.3", {kDatagramBytes}},
      // Small ones fill chunks several at a time; 20000 and 65507 exceed
      // the first chunk size alone.
      {"mixed sizes", "239.1.2.4", {1316, 188, 4, 1472, 20000, 1500, 65507, 9000, 1501}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::Ipv4 group = parseIpv4(c.group);
    auto shared = loopbackShared(0);
    Host host(5004);
    ASSERT_TRUE(host.bound());
    const std::size_t fdsBefore = openFdCount();
    {
      ForwarderRun run(shared);
      run.start(group);
      ASSERT_TRUE(eventually([&] { return groupJoined(group); }));
      GroupSource source(group, 5004, c.sizes);

      expectSourceDatagrams(host, 40, c.sizes);

      EXPECT_EQ(shared->portCache.find(group), 5004);
      run.end();
      EXPECT_TRUE(run.console().empty()) << run.console().front();
    }
    EXPECT_FALSE(groupJoined(group));
    EXPECT_EQ(openFdCount(), fdsBefore);
  }
}

// A group whose port is cached is bound at once, before any of its traffic
// arrives; with a fixed forward port the host gets it there.
TEST(ForwarderRun, CachedPortNeedsNoSniffingAndFixedForwardPortIsUsed) {
  if (!hostAddressOnLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const platform::Ipv4 group = parseIpv4("239.1.2.5");
  auto shared = loopbackShared(5000);
  shared->portCache.add(group, 5006);
  Host host(5000);
  ASSERT_TRUE(host.bound());
  const std::size_t fdsBefore = openFdCount();
  {
    ForwarderRun run(shared);
    run.start(group);
    ASSERT_TRUE(eventually([&] { return udpBound(group, 5006); }));
    GroupSource source(group, 5006);

    expectSourceDatagrams(host, 20, {kDatagramBytes});
    run.end();
    EXPECT_TRUE(run.console().empty()) << run.console().front();
  }
  EXPECT_FALSE(udpBound(group, 5006));
  EXPECT_FALSE(groupJoined(group));
  EXPECT_EQ(openFdCount(), fdsBefore);
}

// A silent group keeps its forwarder sniffing; either stop ends it there,
// and the membership it held goes with it.
TEST(ForwarderRun, EitherStopEndsASniffingForwarder) {
  if (!hostAddressOnLoopback()) GTEST_SKIP() << "no network namespace of our own";
  for (const bool pairStop : {true, false}) {
    SCOPED_TRACE(pairStop ? "pair stop" : "snooper stop");
    const platform::Ipv4 group = parseIpv4("239.1.2.7");
    auto shared = loopbackShared(0);
    const std::size_t fdsBefore = openFdCount();
    {
      ForwarderRun run(shared);
      run.start(group);
      ASSERT_TRUE(eventually([&] { return groupJoined(group); }));
      if (pairStop) {
        run.pairStop().set();
      } else {
        shared->snooperStop.set();
      }
      EXPECT_TRUE(eventually([&] { return run.finished(); }));
      run.end();
      EXPECT_TRUE(run.console().empty()) << run.console().front();
    }
    EXPECT_EQ(shared->portCache.find(group), std::nullopt);
    EXPECT_FALSE(groupJoined(group));
    EXPECT_EQ(openFdCount(), fdsBefore);
  }
}

// A group sent to UDP port 0 cannot be received: the forwarder caches the
// port and ends by itself.
TEST(ForwarderRun, GroupOnPortZeroEndsTheForwarder) {
  if (!hostAddressOnLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const platform::Ipv4 group = parseIpv4("239.1.2.9");
  auto shared = loopbackShared(0);
  const std::size_t fdsBefore = openFdCount();
  {
    ForwarderRun run(shared);
    run.start(group);
    ASSERT_TRUE(eventually([&] { return groupJoined(group); }));

    // Only a raw socket sends to port 0; the kernel adds the IP header.
    int error = 0;
    platform::Socket raw = platform::Socket::open(SOCK_RAW, IPPROTO_UDP, error);
    ASSERT_EQ(error, 0);
    raw.setMulticastInterface(parseIpv4(kLoopback));
    const unsigned char udp[12] = {0x13, 0x88, 0, 0, 0, 12, 0, 0, 'd', 'a', 't', 'a'};
    const sockaddr_in to = platform::makeSockaddr(group, 0);
    EXPECT_TRUE(eventually([&] {
      ::sendto(raw.fd(), udp, sizeof udp, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      return run.finished();
    }));
    run.end();
    EXPECT_TRUE(run.console().empty()) << run.console().front();
  }
  EXPECT_EQ(shared->portCache.find(group), 0);
  EXPECT_FALSE(groupJoined(group));
  EXPECT_EQ(openFdCount(), fdsBefore);
}

// The snooper starts no pair for another host or group; should one be
// started all the same, its forwarder ends at once and silently, without
// joining the group, before anything is sent.
TEST(ForwarderRun, NoForwarderForHostsOffTheLanOrGroupsNotForwarded) {
  if (!hostAddressOnLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const struct {
    const char* what;
    const char* host;
    const char* group;
    bool subnetKnown = true;
  } cases[] = {
      {"loopback", "127.0.0.1", "239.1.3.1"},
      {"the relay itself", kRelay, "239.1.3.1"},
      {"network address", "198.18.3.0", "239.1.3.1"},
      {"broadcast address", "198.18.3.255", "239.1.3.1"},
      {"off the LAN", "198.18.4.2", "239.1.3.1"},
      {"a multicast host", "239.77.0.1", "239.1.3.1"},
      {"the group itself", "239.1.3.1", "239.1.3.1"},
      {"a unicast group", kHostAddress, kRelay},
      {"link-local group", kHostAddress, "224.0.0.251"},
      {"subnet unknown", kHostAddress, "239.1.3.1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto shared = loopbackShared(0);
    if (!c.subnetKnown) shared->lan.netmask = 0;
    Host host(5004);
    ASSERT_TRUE(host.bound());
    ForwarderRun run(shared);
    run.start(parseIpv4(c.group), c.host);
    EXPECT_TRUE(eventually([&] { return run.finished(); }));
    EXPECT_FALSE(groupJoined(parseIpv4(c.group)));
    run.end();
    EXPECT_TRUE(run.console().empty()) << run.console().front();
  }
}

}  // namespace
}  // namespace relay
