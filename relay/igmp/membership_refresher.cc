#include "relay/igmp/membership_refresher.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/packet_socket.h"
#include "platform/socket_io.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace relay {
namespace {

constexpr std::string_view kCantCreate =
    "Multicast rejoin: Can't create raw socket (needs CAP_NET_RAW), groups are not reported "
    "again. Error code: ";
constexpr std::string_view kCantStart = "Multicast rejoin: CreateThread() failed with error ";
constexpr std::string_view kSendFailed = "Multicast rejoin: sendto failed with error ";
constexpr std::string_view kWaitFailed = "Multicast rejoin: wait failed with error ";

// The IPv4 Router Alert option (RFC 2113), padded to a word, which IGMP
// reports carry so that routers look at them.
constexpr std::uint8_t kRouterAlert[] = {0x94, 0x04, 0x00, 0x00};

// The socket is never read: a filter that takes nothing keeps the IGMP of
// the link from piling up in its queue.
constexpr sock_filter kNothing[] = {BPF_STMT(BPF_RET | BPF_K, 0)};

// A full send buffer gets this long to drain before the report counts as
// lost; the next round sends it again anyway.
constexpr int kSendWaitMs = 1000;

}  // namespace

void MembershipRefresher::say(const std::string& line) const {
  if (settings_.console) settings_.console(line);
}

MembershipRefresher::MembershipRefresher(RefresherSettings settings)
    : settings_(std::move(settings)) {}

MembershipRefresher::~MembershipRefresher() {
  stop();
}

bool MembershipRefresher::start() {
  if (thread_.joinable()) return true;
  int error = 0;
  socket_ = platform::Socket::open(SOCK_RAW, IPPROTO_IGMP, error, true);
  if (!socket_.valid()) {
    say(std::string(kCantCreate) + std::to_string(error));
    return false;
  }
  // The kernel writes the IP header: the receiving interface's address, TTL
  // 1, and the option. A kernel that refused the option would still send
  // reports that switches read.
  ::setsockopt(socket_.fd(), IPPROTO_IP, IP_OPTIONS, kRouterAlert, sizeof kRouterAlert);
  if (settings_.interfaceIndex != 0) {
    socket_.setMulticastInterfaceIndex(settings_.interfaceIndex);
  } else {
    socket_.setMulticastInterface(settings_.interfaceAddress);
  }
  socket_.setMulticastTtl(1);
  // This host's own kernel is a member of these groups: it must not hear
  // its reports as another member's.
  socket_.setMulticastLoop(false);
  platform::attachSocketFilter(socket_.fd(), kNothing);
  stop_.reset();
  if ((error = platform::startJoinable(thread_, [this] { refreshThread(); })) != 0) {
    say(std::string(kCantStart) + std::to_string(error));
    socket_.close();
    return false;
  }
  return true;
}

void MembershipRefresher::stop() {
  stop_.set();
  if (thread_.joinable()) thread_.join();
  socket_.close();
}

void MembershipRefresher::refreshThread() {
  const platform::WaitItem stops[] = {platform::WaitItem::event(stop_)};
  // A round every period from the start, whatever a round took; rounds
  // missed (a suspended machine) are not made up.
  const std::int64_t period = std::max(settings_.periodMs, 1);
  std::int64_t next = platform::monotonicMs() + period;
  // A send error is told once, until a round goes out whole again.
  bool failing = false;
  for (;;) {
    const std::int64_t waitMs = std::max<std::int64_t>(next - platform::monotonicMs(), 0);
    const platform::WaitResult woke = platform::waitAny(stops, int(waitMs));
    if (woke.status == platform::WaitStatus::Failed) {
      say(std::string(kWaitFailed) + std::to_string(woke.error));
      return;
    }
    if (woke.status != platform::WaitStatus::Timeout) return;
    do {
      next += period;
    } while (next <= platform::monotonicMs());
    if (!sendRound(failing)) return;
  }
}

bool MembershipRefresher::sendRound(bool& failing) {
  const platform::WaitItem stops[] = {platform::WaitItem::event(stop_)};
  bool failed = false;
  if (!settings_.memberships) return true;
  for (const MembershipReport& report : membershipReports(settings_.memberships())) {
    const sockaddr_in to = platform::makeSockaddr(report.destination, 0);
    const std::string_view bytes(reinterpret_cast<const char*>(report.bytes.data()),
                                 report.bytes.size());
    const platform::DatagramResult result =
        platform::sendDatagram(socket_.fd(), bytes, &to, stops, kSendWaitMs);
    if (result.status == platform::DatagramStatus::Stopped) return false;
    if (result.status == platform::DatagramStatus::Sent) continue;
    if (!failing && !failed) say(std::string(kSendFailed) + std::to_string(result.error));
    failed = true;
  }
  failing = failed;
  return true;
}

}  // namespace relay
