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
#include "platform/thread.h"
#include "platform/wait.h"

namespace relay {
namespace {

using platform::Ipv4;
using platform::ipv4Text;

constexpr std::string_view kStarting = "Igmp snooper: Starting proxying multicast group ";
constexpr std::string_view kStopping = "Igmp snooper: Stopping proxying multicast group ";
constexpr std::string_view kToHost = " to host ";
constexpr std::string_view kHostConsole = "Igmp snooper: Host  ";
constexpr std::string_view kHostLog = "Igmp snooper: Host ";
constexpr std::string_view kRespondedFor = " responded to query for ";
constexpr std::string_view kTooMany = "Igmp snooper: Too many groups for host ";
constexpr std::string_view kNotForwarded = " not forwarded";
constexpr std::string_view kGeneralQuery = "Igmp snooper: Sending general query (";
constexpr std::string_view kGroupQuery = "Igmp snooper: Sending query for group ";
constexpr std::string_view kGroupQueryCollected = "Igmp snooper: Sending query for group  ";
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

void write(const common::LineWriter& writer, std::string_view line) {
  if (writer) writer(line);
}

std::string withCode(std::string_view text, int error) {
  return std::string(text) + std::to_string(error);
}

std::string pairText(std::string_view start, Ipv4 first, std::string_view middle, Ipv4 second) {
  return std::string(start) + ipv4Text(first) + std::string(middle) + ipv4Text(second);
}

// Local network control (224.0.0.0/24) and SSDP are never forwarded.
bool excludedGroup(Ipv4 group) {
  const std::uint32_t value = ntohl(group);
  return (value & 0xffffff00u) == 0xe0000000u || value == 0xeffffffau;
}

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

// The querier's socket is never read: a filter that takes nothing keeps the
// IGMP of the link from piling up in its queue.
constexpr sock_filter kNothing[] = {BPF_STMT(BPF_RET | BPF_K, 0)};

Ipv4 sourceOf(std::span<const std::uint8_t> packet) {
  Ipv4 source = 0;
  std::memcpy(&source, packet.data() + 12, sizeof source);
  return source;
}

}  // namespace

// ---------------------------------------------------------------------------
// MembershipTable

MembershipTable::MembershipTable(std::shared_ptr<ForwarderShared> shared, SecondsClock now,
                                 ForwarderBody body)
    : shared_(std::move(shared)), now_(std::move(now)), body_(std::move(body)) {}

MembershipTable::~MembershipTable() {
  stopAll();
}

void MembershipTable::apply(Ipv4 host, const GroupChange& change) {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_) return;
  if (change.join) {
    join(host, change.group);
  } else {
    leave(host, change.group);
  }
}

void MembershipTable::join(Ipv4 host, Ipv4 group) {
  const std::int64_t now = now_();
  const auto found = std::find_if(pairs_.begin(), pairs_.end(), [&](const Pair& pair) {
    return pair.host == host && pair.group == group;
  });
  if (found != pairs_.end()) {
    // Repeated reports right after a join are absorbed; a later one is the
    // host answering a query.
    if (now <= found->expiry - (kPairLifetimeSeconds - kRefreshAfterSeconds)) return;
    found->expiry = now + kPairLifetimeSeconds;
    write(shared_->console, pairText(kHostConsole, host, kRespondedFor, group) + " ");
    write(shared_->log, pairText(kHostLog, host, kRespondedFor, group));
    return;
  }
  if (excludedGroup(group)) return;
  if (full(host)) {
    refuse(host, group, now);
    return;
  }
  forgetRefusal(host, group);

  Pair& pair = pairs_.emplace_back();
  pair.host = host;
  pair.group = group;
  pair.stop = std::make_shared<platform::Event>(platform::Event::Reset::Manual);
  pair.expiry = now + kPairLifetimeSeconds;
  ForwarderContext context{group, host, pair.stop, shared_};
  const int error = platform::startJoinable(
      pair.thread, [body = body_, context = std::move(context), finished = &pair.finished] {
        body(context);
        finished->store(true);
      });
  if (error != 0) {
    // No forwarder, no pair: the host's next report tries again.
    pairs_.pop_back();
    return;
  }
  write(shared_->console, pairText(kStarting, group, kToHost, host) + " ");
  write(shared_->log, pairText(kStarting, group, kToHost, host));
}

bool MembershipTable::full(Ipv4 host) const {
  // Removed pairs count until their forwarder has been joined: their
  // threads and sockets are still there.
  if (pairs_.size() + retired_.size() >= kMostPairs) return true;
  const auto ofHost = std::count_if(pairs_.begin(), pairs_.end(),
                                    [&](const Pair& pair) { return pair.host == host; });
  return std::size_t(ofHost) >= kMostGroupsPerHost;
}

void MembershipTable::refuse(Ipv4 host, Ipv4 group, std::int64_t now) {
  const auto found = std::find_if(refused_.begin(), refused_.end(), [&](const Refusal& r) {
    return r.host == host && r.group == group;
  });
  if (found != refused_.end()) {
    found->lastHeard = now;
    return;
  }
  // Not reported for as long as a pair lives: the host has left the group
  // or gone, and a later refusal is news again.
  std::erase_if(refused_,
                [&](const Refusal& r) { return r.lastHeard < now - kPairLifetimeSeconds; });
  if (refused_.size() >= kMostRefusalsRemembered) return;
  refused_.push_back(Refusal{host, group, now});
  const std::string line = std::string(kTooMany) + ipv4Text(host) + ", group " + ipv4Text(group) +
                           std::string(kNotForwarded);
  write(shared_->console, line);
  write(shared_->log, line);
}

void MembershipTable::forgetRefusal(Ipv4 host, Ipv4 group) {
  std::erase_if(refused_, [&](const Refusal& r) { return r.host == host && r.group == group; });
}

void MembershipTable::leave(Ipv4 host, Ipv4 group) {
  forgetRefusal(host, group);
  const auto found = std::find_if(pairs_.begin(), pairs_.end(), [&](const Pair& pair) {
    return pair.host == host && pair.group == group;
  });
  if (found == pairs_.end()) return;
  retire(found);
  write(shared_->console, pairText(kStopping, group, kToHost, host) + " ");
  write(shared_->log, pairText(kStopping, group, kToHost, host));
}

void MembershipTable::retire(std::list<Pair>::iterator pair) {
  pair->stop->set();
  retired_.splice(retired_.end(), pairs_, pair);
}

int MembershipTable::collectDueGroups(std::vector<Ipv4>& pending) {
  std::lock_guard<std::mutex> hold(lock_);
  return collectLocked(pending);
}

int MembershipTable::collectLocked(std::vector<Ipv4>& pending) {
  const std::int64_t now = now_();
  for (auto pair = pairs_.begin(); pair != pairs_.end();) {
    const auto next = std::next(pair);
    if (pair->expiry < now - kLapseAfterExpirySeconds) {
      retire(pair);
    } else if (pair->expiry < now + kDueBeforeExpirySeconds) {
      pending.push_back(pair->group);
    }
    pair = next;
  }
  if (pending.empty()) return kIdleCheckSeconds;
  // In address order; a group with several hosts is queried once.
  const auto order = [](Ipv4 a, Ipv4 b) { return ntohl(a) < ntohl(b); };
  std::sort(pending.begin(), pending.end(), order);
  pending.erase(std::unique(pending.begin(), pending.end()), pending.end());
  return kDueCheckSeconds;
}

GroupCheck MembershipTable::nextGroupQuery(std::vector<Ipv4>& pending) {
  std::lock_guard<std::mutex> hold(lock_);
  GroupCheck check;
  if (pending.empty()) {
    check.nextWaitSeconds = collectLocked(pending);
    if (pending.empty()) return check;
  }
  const Ipv4 group = pending.front();
  pending.erase(pending.begin());
  check.group = group;
  write(shared_->console, std::string(kGroupQuery) + ipv4Text(group) + " ");
  write(shared_->log,
        std::string(check.nextWaitSeconds ? kGroupQueryCollected : kGroupQuery) + ipv4Text(group));
  return check;
}

void MembershipTable::joinFinished() {
  std::list<Pair> ended;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto pair = retired_.begin(); pair != retired_.end();) {
      const auto next = std::next(pair);
      if (pair->finished) ended.splice(ended.end(), retired_, pair);
      pair = next;
    }
  }
  for (Pair& pair : ended) {
    if (pair.thread.joinable()) pair.thread.join();
  }
}

void MembershipTable::stopAll() {
  std::list<Pair> all;
  {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    for (Pair& pair : pairs_) pair.stop->set();
    all.splice(all.end(), retired_);
    all.splice(all.end(), pairs_);
  }
  for (Pair& pair : all) {
    if (pair.thread.joinable()) pair.thread.join();
  }
}

std::vector<MembershipTable::PairView> MembershipTable::pairs() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<PairView> views;
  for (const Pair& pair : pairs_) views.push_back(PairView{pair.host, pair.group, pair.expiry});
  return views;
}

std::size_t MembershipTable::retiredCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return retired_.size();
}

// ---------------------------------------------------------------------------
// IgmpSnooper

namespace {

std::shared_ptr<ForwarderShared> makeShared(const SnooperSettings& settings) {
  auto shared = std::make_shared<ForwarderShared>();
  shared->receiveAddress = settings.receiveAddress;
  shared->forwardPort = settings.forwardPort;
  shared->console = settings.console;
  shared->log = settings.log;
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
  SendOutcome send(int fd, const std::array<std::uint8_t, 8>& query, Ipv4 destination);
  void queryTimerThread();

  const SnooperSettings settings;
  const std::int64_t scale;
  // Its snooperStop is the snooper's stop event, for every thread.
  const std::shared_ptr<ForwarderShared> shared;
  // Created set: the first general query goes out at start.
  platform::Event queryEvent{platform::Event::Reset::Auto, true};
  MembershipTable table;

  std::thread listener;
  std::thread querier;
  std::thread queryTimer;
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
    write(settings.console, withCode(kCantCreate, createError));
    write(settings.log, withCode(kCantCreate, createError));
    return;
  }
  const int fd = socket.fd();
  // Before the bind, so that only IGMP is ever queued.
  const int filterError = socket.attachFilter(kIgmpOnly);

  const int index = platform::interfaceIndexOf(ipv4Text(settings.listenAddress));
  const int bindError = index == 0 ? EADDRNOTAVAIL : socket.bind(index);
  if (bindError != 0) {
    write(settings.console, withCode(kCantBind, bindError));
    write(settings.log, withCode(kCantBind, bindError));
  }
  // Reports go to the group's own address (version 1 and 2) or 224.0.0.22
  // (version 3), which the interface's multicast filter would drop for the
  // groups this host has not joined.
  int receiveAllError = socket.receiveAllMulticast(index);
  if (receiveAllError == 0) receiveAllError = filterError;
  if (receiveAllError != 0) {
    write(settings.console, withCode(kCantReceiveAll, receiveAllError));
    write(settings.log, withCode(kCantReceiveAll, receiveAllError));
  }
  socket.setReceiveBuffer(kListenerReceiveBuffer);

  const platform::WaitItem items[] = {platform::WaitItem::event(shared->snooperStop),
                                      platform::WaitItem::readable(fd)};
  for (;;) {
    const platform::WaitResult ready = platform::waitAny(items, -1);
    if (ready.status == platform::WaitStatus::Failed) {
      write(settings.console, withCode(kReceiveFailed, ready.error));
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
      write(settings.console, withCode(kReceiveFailed, error));
      write(settings.log, withCode(kReceiveFailedLog, error));
      return false;
    }
    // What this host sends itself, and what another interface delivered
    // before the bind took effect, is not the link's.
    if (n == 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
    if (boundIndex != 0 && from.sll_ifindex != boundIndex) continue;
    const std::span<const std::uint8_t> packet(buffer, std::size_t(n));
    // Without the filter every IPv4 packet of the link arrives here.
    if (packet.size() > 9 && packet[9] != IPPROTO_IGMP) continue;
    // The relay's own queries; and a host without an address yet cannot
    // be forwarded to.
    if (packet.size() >= 20) {
      const Ipv4 source = sourceOf(packet);
      if (source == settings.listenAddress || source == INADDR_ANY) continue;
    }
    const std::optional<IgmpReading> reading = parseIgmp(packet, settings.log);
    if (!reading) continue;
    for (const GroupChange& change : reading->changes) table.apply(reading->source, change);
  }
}

void IgmpSnooper::State::querierThread() {
  platform::ensureWinsock();
  int error = 0;
  platform::Socket socket = platform::Socket::open(SOCK_RAW, IPPROTO_IGMP, error, true);
  if (!socket.valid()) {
    write(settings.console, withCode(kCantCreate, error));
    write(settings.log, kCantCreateQuerierLog);
    return;
  }
  if (const int e = socket.bind(settings.listenAddress, 0); e != 0) {
    write(settings.console, withCode(kCantBind, e));
  }
  if (const int e = socket.setIntOption(IPPROTO_IP, IP_HDRINCL, 0); e != 0) {
    write(settings.console, withCode(kCantHeaderInclude, e));
    write(settings.log, kCantHeaderIncludeLog);
  }
  // The bind alone does not choose the interface a multicast leaves by.
  socket.setMulticastInterface(settings.listenAddress);
  socket.setMulticastTtl(1);
  socket.setMulticastLoop(false);
  platform::attachSocketFilter(socket.fd(), kNothing);

  const Ipv4 allSystems = platform::parseIpv4(kAllSystems);
  std::vector<Ipv4> pending;
  std::int64_t waitMs = kFirstWaitMs;
  const platform::WaitItem items[] = {platform::WaitItem::event(shared->snooperStop),
                                      platform::WaitItem::event(queryEvent)};
  for (;;) {
    table.joinFinished();
    const std::int64_t began = nowSeconds();
    const platform::WaitResult woke = platform::waitAny(items, realMs(waitMs));
    if (woke.status == platform::WaitStatus::Failed) return;
    if (woke.status == platform::WaitStatus::Signalled) {
      if (woke.index == 0) return;
      // What is left of the wait, so that the group checks keep their
      // schedule.
      const std::int64_t elapsed = nowSeconds() - began;
      waitMs = std::max(waitMs - elapsed * 1000, kLeastWaitAfterQueryMs);
      write(settings.console, std::string(kGeneralQuery) + kAllSystems + ") ");
      write(settings.log, std::string(kGeneralQuery) + kAllSystems + ")");
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

SendOutcome IgmpSnooper::State::send(int fd, const std::array<std::uint8_t, 8>& query,
                                     Ipv4 destination) {
  const sockaddr_in to = platform::makeSockaddr(destination, 0);
  bool waited = false;
  for (;;) {
    if (::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) >= 0) {
      return SendOutcome::GoOn;
    }
    const int error = errno;
    if (error == EINTR) continue;
    const bool full = error == EAGAIN || error == EWOULDBLOCK;
    if (!full || waited) {
      write(settings.console, withCode(kSendFailed, error));
      // Refused at once, the querier ends for good; a query that found no
      // room even after the wait is lost on its own.
      return waited ? SendOutcome::GoOn : SendOutcome::Stop;
    }
    const platform::WaitItem items[] = {platform::WaitItem::event(shared->snooperStop),
                                        platform::WaitItem::writable(fd)};
    const platform::WaitResult ready = platform::waitAny(items, kSendWaitMs);
    if (ready.status == platform::WaitStatus::Signalled && ready.index == 0) {
      return SendOutcome::Stop;
    }
    if (ready.status == platform::WaitStatus::Failed) {
      write(settings.console, withCode(kWaitFailed, ready.error));
      return SendOutcome::GoOn;
    }
    waited = true;
  }
}

void IgmpSnooper::State::queryTimerThread() {
  const platform::WaitItem items[] = {platform::WaitItem::event(shared->snooperStop)};
  while (platform::waitAny(items, realMs(kGeneralQueryPeriodMs)).status ==
         platform::WaitStatus::Timeout) {
    queryEvent.set();
  }
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
  platform::startJoinable(s.listener, [&s] { s.listenerThread(); });
  platform::startJoinable(s.querier, [&s] { s.querierThread(); });
  platform::startJoinable(s.queryTimer, [&s] { s.queryTimerThread(); });
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
  if (s.queryTimer.joinable()) s.queryTimer.join();
}

std::vector<MembershipTable::PairView> IgmpSnooper::pairs() const {
  return state_->table.pairs();
}

}  // namespace relay
