#include "relay/igmp/membership_refresher.h"

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/packet_socket.h"
#include "tests/support/private_network.h"

namespace relay {
namespace {

using platform::Ipv4;
using platform::parseIpv4;

// One report the refresher sent, as the packet socket saw it leave.
struct Sent {
  Ipv4 destination = 0;
  IgmpReading reading;
};

// The reports leaving loopback, read until `enough` says so or 10 s pass.
// Every one is checked for the IPv4 header a report needs: TTL 1, the
// Router Alert option, the interface's address as its source.
template <typename Enough>
std::vector<Sent> capture(int fd, Enough enough) {
  std::vector<Sent> sent;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!enough(sent) && std::chrono::steady_clock::now() < deadline) {
    std::uint8_t packet[2048];
    sockaddr_ll from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    // Each packet once, as loopback delivers it.
    if (from.sll_pkttype == PACKET_OUTGOING || n < 24 || packet[9] != IPPROTO_IGMP) continue;
    EXPECT_EQ(packet[0], 0x46) << "IPv4 with one word of options";
    EXPECT_EQ(packet[8], 1) << "TTL";
    EXPECT_EQ(std::vector<std::uint8_t>(packet + 20, packet + 24),
              (std::vector<std::uint8_t>{0x94, 0x04, 0, 0}))
        << "Router Alert";
    Ipv4 source = 0;
    Sent one;
    std::memcpy(&source, packet + 12, sizeof source);
    std::memcpy(&one.destination, packet + 16, sizeof one.destination);
    EXPECT_EQ(source, parseIpv4("127.0.0.1"));
    const std::optional<IgmpReading> reading =
        parseIgmp(std::span<const std::uint8_t>(packet, std::size_t(n)), {});
    if (!reading) {
      ADD_FAILURE() << "not a valid IGMP packet";
      continue;
    }
    one.reading = *reading;
    sent.push_back(std::move(one));
  }
  return sent;
}

bool names(const Sent& sent, const char* group) {
  return !sent.reading.changes.empty() && sent.reading.changes[0].group == parseIpv4(group);
}

// Each round reports what is held at that moment, the same again next
// round; a group given up is no longer reported. The stop ends the thread
// and closes the socket, a second stop does nothing.
TEST(MembershipRefresher, ReportsWhatIsHeldEachRoundUntilStopped) {
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  int error = 0;
  platform::PacketSocket watch =
      platform::PacketSocket::open(platform::PacketSocket::BeforeBind::Nothing, error);
  if (!watch.valid()) GTEST_SKIP() << "no packet socket (CAP_NET_RAW): " << error;
  ASSERT_EQ(watch.bind(int(::if_nametoindex("lo"))), 0);
  const std::size_t threads = testsupport::threadCount();
  const std::size_t fds = testsupport::entriesIn("/proc/self/fd");

  std::mutex lock;
  std::vector<HeldMembership> held{{parseIpv4("239.1.1.1"), 0},
                                   {parseIpv4("232.1.1.1"), parseIpv4("198.18.1.1")}};
  std::vector<std::string> console;
  RefresherSettings settings;
  settings.interfaceAddress = parseIpv4("127.0.0.1");
  settings.periodMs = 20;
  settings.memberships = [&] {
    std::lock_guard guard(lock);
    return held;
  };
  settings.console = [&](std::string_view line) {
    std::lock_guard guard(lock);
    console.emplace_back(line);
  };
  {
    MembershipRefresher refresher(settings);
    ASSERT_TRUE(refresher.start());
    const std::vector<Sent> first =
        capture(watch.fd(), [](const std::vector<Sent>& s) { return s.size() >= 4; });
    // What each report holds is MembershipReports' table; here, that every
    // held group goes out in each round, in the order held.
    ASSERT_GE(first.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_TRUE(names(first[i], i % 2 == 0 ? "239.1.1.1" : "232.1.1.1")) << i;
    }

    {
      std::lock_guard guard(lock);
      held = {{parseIpv4("239.1.1.2"), 0}};
    }
    // Two rounds of the new list; a round under way at the change may
    // still name the old groups, none after it.
    const std::vector<Sent> after = capture(watch.fd(), [](const std::vector<Sent>& s) {
      return std::count_if(s.begin(), s.end(),
                           [](const Sent& x) { return names(x, "239.1.1.2"); }) >= 2;
    });
    const auto firstNew = std::find_if(after.begin(), after.end(),
                                       [](const Sent& x) { return names(x, "239.1.1.2"); });
    ASSERT_NE(firstNew, after.end());
    for (auto it = firstNew; it != after.end(); ++it) EXPECT_TRUE(names(*it, "239.1.1.2"));

    refresher.stop();
    EXPECT_TRUE(testsupport::eventually([&] { return testsupport::threadCount() == threads; }));
    refresher.stop();
  }
  // The socket and the stop event.
  EXPECT_EQ(testsupport::entriesIn("/proc/self/fd"), fds);
  std::lock_guard guard(lock);
  EXPECT_TRUE(console.empty()) << console[0];
}

}  // namespace
}  // namespace relay
