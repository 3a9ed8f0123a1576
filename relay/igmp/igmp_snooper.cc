#include "relay/igmp/igmp_snooper.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/net_init.h"
#include "platform/network_cards.h"
#include "platform/packet_socket.h"
#include "platform/socket_io.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace relay {
namespace {

using platform::Ipv4;
using platform::ipv4Text;

constexpr std::string_view kGeneralQuery = "Igmp snooper: Sending general query (";
constexpr std::string_view kCantCreate = "Igmp snooper: Can't create raw socket. Error code: ";
constexpr std::string_view kCantCreateQuerierLog = "Igmp snooper: Can't create raw socket.";
constexpr std::string_view kCantBind =
    "Igmp snooper: Can't bind to network interface. Error code: ";
constexpr std::string_view kCantReceiveAll = "Igmp snooper: Can't set SIO_RCVALL. Error code: ";
constexpr std::string_view kCantHeaderInclude = "Igmp snooper: Can't set IP_HDRINCL Error code: ";
constexpr std::string_view kCantHeaderIncludeLog = "Igmp snooper: Can't set IP_HDRINCL:";
constexpr std::string_view kReceiveFailed = "Igmp snooper: WSARecv failed with error: ";
constexpr std::string_view kReceiveFailedLog = "Igmp snooper:: WSARecv failed with error: ";
constexpr std::string_view kSendFailed = "WSASendTo failed with error: ";
constexpr std::string_view kWaitFailed = "WSAWaitForMultipleEvents failed with error: ";
constexpr std::string_view kNoSubnet = "Igmp snooper: No network interface holds ";
constexpr std::string_view kNoReportAccepted = ": no report is accepted";

constexpr const char* kAllSystems = "224.0.0.1";

constexpr std::int64_t kGeneralQueryPeriodMs = 125000;
constexpr std::int64_t kFirstWaitMs = 10250;
constexpr std::int64_t kLeastWaitAfterQueryMs = 1000;
// A datagram send completes at once; a full send buffer gets this long
// (real time) to drain before the query counts as failed.
constexpr int kSendWaitMs = 1000;
// A version 3 report holds a record of 8 bytes and more per group, so a host
// in a few dozen groups sends several hundred bytes in one report: take what
// an Ethernet frame holds. Anything longer arrives cut and is dropped for its
// length.
constexpr std::size_t kReceiveBytes = 1500;
// Linux counts the receive buffer in the kernel's memory per packet (about
// a kilobyte for a 32-byte report), not in payload bytes: 8192 holds only a
// dozen reports, and a host that joins or leaves 40 groups at once already
// overflowed it. This holds a few hundred.
constexpr int kListenerReceiveBuffer = 262144;

// The kernel runs the filter on the packet from its IPv4 header on: whole
// IGMP packets pass, as do first fragments; nothing else is queued.
// clang-format off
constexpr sock_filter kIgmpOnly[] = {
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_IGMP, 0, 3),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
    BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, 0xffff),
    BPF_STMT(BPF_RET | BPF_K, 0),
};
// clang-format on

// The IPv4 Router Alert option (RFC 2113), padded to a word: version 3
// queries carry it. Linux hosts answer a query without it as well, so a
// socket that refuses the option still queries.
constexpr std::uint8_t kRouterAlert[] = {0x94, 0x04, 0x00, 0x00};

// The querier's socket is never read: a filter that takes nothing keeps the
// IGMP of the link from piling up in its queue.
constexpr sock_filter kNothing[] = {BPF_STMT(BPF_RET | BPF_K, 0)};

Ipv4 sourceOf(std::span<const std::uint8_t> packet) {
  Ipv4 source = 0;
  std::memcpy(&source, packet.data() + 12, sizeof source);
  return source;
}

}  // namespace

namespace {

std::shared_ptr<ForwarderShared> makeShared(const SnooperSettings& settings) {
  auto shared = std::make_shared<ForwarderShared>();
  shared->receiveAddress = settings.receiveAddress;
  shared->receiveInterfaceIndex = settings.receiveInterfaceIndex;
  shared->forwardPort = settings.forwardPort;
  shared->report = Reporter{settings.console, settings.log};
  return shared;
}

enum class SendOutcome { GoOn, Stop };

std::int64_t scaledSeconds(std::int64_t scale) {
  return platform::monotonicMs() * scale / 1000;
}

}  // namespace

struct IgmpSnooper::State {
  State(SnooperSettings settingsIn, ForwarderBody body)
      : settings(std::move(settingsIn)),
        scale(std::max(settings.clockScale, 1)),
        shared(makeShared(settings)),
        table(
            shared, [scale = scale] { return scaledSeconds(scale); }, std::move(body)) {}

  std::int64_t nowSeconds() const { return scaledSeconds(scale); }
  // A wait on the snooper's clock, in real milliseconds.
  int realMs(std::int64_t ms) const { return int(std::max<std::int64_t>(ms / scale, 1)); }

  void listenerThread();
  // Takes what the socket holds; false when the listener is to end.
  bool drain(int fd, int boundIndex);
  void querierThread();
  SendOutcome send(int fd, const std::array<std::uint8_t, kQueryBytes>& query, Ipv4 destination);
  void report(const Report& what) const { shared->report(what); }

  const SnooperSettings settings;
  const std::int64_t scale;
  // Its snooperStop is the snooper's stop event, for every thread.
  const std::shared_ptr<ForwarderShared> shared;
  MembershipTable table;

  std::thread listener;
  std::thread querier;
  bool started = false;
  bool stopped = false;
};

void IgmpSnooper::State::listenerThread() {
  platform::ensureWinsock();
  int createError = 0;
  // Every interface until the bind: if it fails, the listener goes on with
  // what the socket delivers.
  platform::PacketSocket socket =
      platform::PacketSocket::open(platform::PacketSocket::BeforeBind::EveryInterface, createError);
  if (!socket.valid()) {
    report(Report::error(kCantCreate, createError));
    return;
  }
  const int fd = socket.fd();
  // Before the bind, so that only IGMP is ever queued.
  const int filterError = socket.attachFilter(kIgmpOnly);

  const int index = platform::interfaceIndexOf(ipv4Text(settings.listenAddress));
  const int bindError = index == 0 ? EADDRNOTAVAIL : socket.bind(index);
  if (bindError != 0) report(Report::error(kCantBind, bindError));
  // Reports go to the group's own address (version 1 and 2) or 224.0.0.22
  // (version 3), which the interface's multicast filter would drop for the
  // groups this host has not joined.
  int receiveAllError = socket.receiveAllMulticast(index);
  if (receiveAllError == 0) receiveAllError = filterError;
  if (receiveAllError != 0) report(Report::error(kCantReceiveAll, receiveAllError));
  socket.setReceiveBuffer(kListenerReceiveBuffer);

  const platform::WaitItem items[] = {platform::WaitItem::event(shared->snooperStop),
                                      platform::WaitItem::readable(fd)};
  for (;;) {
    const platform::WaitResult ready = platform::waitAny(items, -1);
    if (ready.status == platform::WaitStatus::Failed) {
      report(Report::consoleError(kReceiveFailed, ready.error));
      return;
    }
    if (ready.status != platform::WaitStatus::Signalled || ready.index == 0) return;
    if (!drain(fd, bindError == 0 ? index : 0)) return;
    table.joinFinished();
  }
}

bool IgmpSnooper::State::drain(int fd, int boundIndex) {
  std::uint8_t buffer[kReceiveBytes];
  for (;;) {
    if (shared->snooperStop.tryConsume()) return false;
    sockaddr_ll from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) return true;
      // The log's text has two colons.
      report(Report{std::string(kReceiveFailed) + std::to_string(error),
                    std::string(kReceiveFailedLog) + std::to_string(error)});
      return false;
    }
    // What this host sends itself, and what another interface delivered
    // before the bind took effect, is not the link's.
    if (n == 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
    if (boundIndex != 0 && from.sll_ifindex != boundIndex) continue;
    const std::span<const std::uint8_t> packet(buffer, std::size_t(n));
    // Without the filter every IPv4 packet of the link arrives here.
    if (packet.size() > 9 && packet[9] != IPPROTO_IGMP) continue;
    // The group is sent to whatever source address a report carries, and
    // any LAN host can write any: only the LAN's own hosts are heard, and of
    // them only those --allow names. That also passes over the relay's own
    // queries and hosts without an address yet. Refused silently: the sender
    // chooses how many.
    if (packet.size() >= 20 && !isLanHost(shared->lan, sourceOf(packet))) continue;
    const std::optional<IgmpReading> reading = parseIgmp(packet, settings.log);
    if (!reading) continue;
    const LinkAddress link = linkAddressOf(from.sll_addr, from.sll_halen);
    for (const GroupChange& change : reading->changes) {
      table.apply(reading->source, change, link);
    }
  }
}

void IgmpSnooper::State::querierThread() {
  platform::ensureWinsock();
  int error = 0;
  platform::Socket socket = platform::Socket::open(SOCK_RAW, IPPROTO_IGMP, error, true);
  if (!socket.valid()) {
    report(Report::error(kCantCreate, error, kCantCreateQuerierLog));
    return;
  }
  if (const int e = socket.bind(settings.listenAddress, 0); e != 0) {
    report(Report::consoleError(kCantBind, e));
  }
  if (const int e = socket.setIntOption(IPPROTO_IP, IP_HDRINCL, 0); e != 0) {
    report(Report::error(kCantHeaderInclude, e, kCantHeaderIncludeLog));
  }
  ::setsockopt(socket.fd(), IPPROTO_IP, IP_OPTIONS, kRouterAlert, sizeof kRouterAlert);
  // The bind alone does not choose the interface a multicast leaves by.
  socket.setMulticastInterface(settings.listenAddress);
  socket.setMulticastTtl(1);
  socket.setMulticastLoop(false);
  platform::attachSocketFilter(socket.fd(), kNothing);

  const Ipv4 allSystems = platform::parseIpv4(kAllSystems);
  std::vector<Ipv4> pending;
  // Two schedules in one wait: the group checks, and the general queries,
  // the first at once and then one each period. Periods missed during a
  // long send are not made up: one query covers them.
  std::int64_t waitMs = kFirstWaitMs;
  std::int64_t nextGeneralQuery = platform::monotonicMs();
  const platform::WaitItem items[] = {platform::WaitItem::event(shared->snooperStop)};
  for (;;) {
    table.joinFinished();
    const std::int64_t began = nowSeconds();
    const int checkMs = realMs(waitMs);
    const std::int64_t queryMs =
        std::max<std::int64_t>(nextGeneralQuery - platform::monotonicMs(), 0);
    const bool generalQueryFirst = queryMs <= checkMs;
    const platform::WaitResult woke =
        platform::waitAny(items, generalQueryFirst ? int(queryMs) : checkMs);
    if (woke.status != platform::WaitStatus::Timeout) return;
    if (generalQueryFirst) {
      const std::int64_t period = realMs(kGeneralQueryPeriodMs);
      do {
        nextGeneralQuery += period;
      } while (nextGeneralQuery <= platform::monotonicMs());
      // What is left of the wait, so that the group checks keep their
      // schedule.
      const std::int64_t elapsed = nowSeconds() - began;
      waitMs = std::max(waitMs - elapsed * 1000, kLeastWaitAfterQueryMs);
      report(Report::blankOnConsole(std::string(kGeneralQuery) + kAllSystems + ")"));
      if (send(socket.fd(), buildQuery(0), allSystems) == SendOutcome::Stop) return;
      continue;
    }
    // The group check; several due groups are queried back to back.
    do {
      const GroupCheck check = table.nextGroupQuery(pending);
      if (check.nextWaitSeconds) waitMs = std::int64_t(*check.nextWaitSeconds) * 1000;
      if (!check.group) break;
      if (send(socket.fd(), buildQuery(*check.group), *check.group) == SendOutcome::Stop) return;
    } while (!pending.empty());
  }
}

SendOutcome IgmpSnooper::State::send(int fd, const std::array<std::uint8_t, kQueryBytes>& query,
                                     Ipv4 destination) {
  const sockaddr_in to = platform::makeSockaddr(destination, 0);
  const std::string_view bytes(reinterpret_cast<const char*>(query.data()), query.size());
  const platform::WaitItem stops[] = {platform::WaitItem::event(shared->snooperStop)};
  const platform::DatagramResult result =
      platform::sendDatagram(fd, bytes, &to, stops, kSendWaitMs);
  switch (result.status) {
    case platform::DatagramStatus::Sent:
      return SendOutcome::GoOn;
    case platform::DatagramStatus::Stopped:
      return SendOutcome::Stop;
    case platform::DatagramStatus::WaitFailed:
      report(Report::consoleError(kWaitFailed, result.error));
      return SendOutcome::GoOn;
    case platform::DatagramStatus::Refused:
    case platform::DatagramStatus::Lost:
      report(Report::consoleError(kSendFailed, result.error));
      // Refused at once, the querier ends for good; a query that found no
      // room even after the wait is lost on its own.
      return result.status == platform::DatagramStatus::Lost ? SendOutcome::GoOn
                                                             : SendOutcome::Stop;
  }
  return SendOutcome::GoOn;
}

IgmpSnooper::IgmpSnooper(SnooperSettings settings)
    : IgmpSnooper(std::move(settings),
                  [](ForwarderContext context) { runForwarder(std::move(context)); }) {}

IgmpSnooper::IgmpSnooper(SnooperSettings settings, ForwarderBody body)
    : state_(std::make_unique<State>(std::move(settings), std::move(body))) {}

IgmpSnooper::~IgmpSnooper() {
  stop();
}

void IgmpSnooper::start() {
  State& s = *state_;
  if (s.started || s.stopped) return;
  s.started = true;
  // Without the listening interface's subnet no source address can be told
  // from a forged one. Guessing a subnet such as a /24 would forward to
  // hosts that may not be on the LAN at all, so no report is believed.
  s.shared->lan = lanSubnetOf(s.settings.listenAddress);
  s.shared->lan.allow = s.settings.allow;
  if (s.shared->lan.netmask == 0) {
    s.report(Report::both(std::string(kNoSubnet) + ipv4Text(s.settings.listenAddress) +
                          std::string(kNoReportAccepted)));
  }
  platform::startJoinable(s.listener, [&s] { s.listenerThread(); });
  platform::startJoinable(s.querier, [&s] { s.querierThread(); });
}

void IgmpSnooper::stop() {
  State& s = *state_;
  if (s.stopped) return;
  s.stopped = true;
  s.shared->snooperStop.set();
  // Both end at once on the event, and only then does nothing add pairs.
  if (s.listener.joinable()) s.listener.join();
  if (s.querier.joinable()) s.querier.join();
  s.table.stopAll();
}

std::vector<MembershipTable::PairView> IgmpSnooper::pairs() const {
  return state_->table.pairs();
}

std::vector<IgmpSnooper::PairStatus> IgmpSnooper::pairStatus() const {
  const std::int64_t now = state_->nowSeconds();
  std::vector<PairStatus> out;
  for (const MembershipTable::PairView& pair : state_->table.pairs()) {
    const std::int64_t left = pair.expiry + kLapseAfterExpirySeconds - now;
    out.push_back(
        PairStatus{pair.host, pair.group, std::max<std::int64_t>(left, 0) / state_->scale});
  }
  return out;
}

}  // namespace relay
