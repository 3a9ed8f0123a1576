#include "relay/igmp/multicast_forwarder.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/net_init.h"
#include "platform/packet_socket.h"
#include "platform/socket_io.h"
#include "platform/wait.h"
#include "relay/stream/multicast_receiver.h"
#include "relay/stream/stream_registry.h"

namespace relay {
namespace {

using platform::Event;
using platform::WaitItem;
using platform::WaitStatus;

constexpr std::string_view kCreateReceiverFailed = "Receiver: Error creating socket: ";
constexpr std::string_view kBindReceiverFailed = "Receiver: Error binding socket: ";
constexpr std::string_view kSniffSocketFailed =
    "Igmp snooper: Can't create raw socket for UDP port sniffing. Error code: ";
constexpr std::string_view kSniffSocketFailedLog =
    "Igmp snooper: Can't create raw socket for UDP port sniffing.";
constexpr std::string_view kSniffBindFailed =
    "Igmp snooper: Can't bind to network interface (for UDP port sniffing). Error code: ";
constexpr std::string_view kSniffBindFailedLog =
    "Igmp snooper: Can't bind to network interface (for UDP port sniffing).";
constexpr std::string_view kSniffFilterFailed =
    "Igmp snooper: Can't set SIO_RCVALL (for UDP port sniffing). Error code: ";
constexpr std::string_view kSniffFilterFailedLog =
    "Igmp snooper: Can't set SIO_RCVALL (for UDP port sniffing)..";
constexpr std::string_view kSniffReceiveFailed =
    "Igmp snooper:: WSARecv (for UDP port sniffing) failed with error: ";
constexpr std::string_view kSendSocketFailed = "WSASocket() failed with error ";
constexpr std::string_view kSendFailed = "WSASendTo (forward) failed with error: ";
constexpr std::string_view kSendWaitFailed =
    "WSAWaitForMultipleEvents (forward) failed with error: ";
constexpr std::string_view kSendCompletionFailed = "WSASendTo failed with error: ";

constexpr std::size_t kSniffBufferBytes = 1500;
// The send buffer must hold the largest datagram (64 KiB) or its send never
// succeeds; a few of them keep a burst such as the first chunk's moving.
constexpr int kSendBufferBytes = 262144;

constexpr unsigned char kUdp = 17;

std::uint16_t bigEndian16(const unsigned char* bytes) {
  return std::uint16_t(bytes[0] << 8 | bytes[1]);
}

// The index of the interface holding `address`, loopback included; 0 when
// none does.
unsigned interfaceIndexHolding(platform::Ipv4 address) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (ifaddrs* entry = list; entry != nullptr && index == 0; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr != address) continue;
    std::string name = entry->ifa_name;
    name = name.substr(0, name.find(':'));  // an address label names its device
    index = ::if_nametoindex(name.c_str());
  }
  ::freeifaddrs(list);
  return index;
}

// Lets through only what the sniffer could use: arriving (not outgoing)
// UDP packets to the group. Offsets count from the IP header.
std::array<sock_filter, 8> groupFilter(platform::Ipv4 group) {
  return {{
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, std::uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 5, 0),
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kUdp, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(group), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xffff),
      BPF_STMT(BPF_RET | BPF_K, 0),
  }};
}

// Learns the group's port from its traffic as it arrives on the receiving
// interface, IP headers included. A packet socket sees the packets without
// a UDP socket bound to their (still unknown) port; the membership that
// makes them arrive is held by the caller.
class PortSniffer {
 public:
  PortSniffer(const ForwarderContext& context, Event& pairStop, Event& sourcesChanged)
      : context_(context),
        shared_(*context.shared),
        pairStop_(pairStop),
        sourcesChanged_(sourcesChanged) {}

  // The group's port, or nothing when the forwarder has to end or the
  // host's sources changed (sourcesChanged() tells).
  std::optional<std::uint16_t> run() {
    int error = 0;
    socket_ = platform::PacketSocket::open(platform::PacketSocket::BeforeBind::Nothing, error);
    if (!socket_.valid()) return fail(kSniffSocketFailed, kSniffSocketFailedLog, error);
    const unsigned index = shared_.receiveInterfaceIndex != 0
                               ? unsigned(shared_.receiveInterfaceIndex)
                               : interfaceIndexHolding(shared_.receiveAddress);
    error = index == 0 ? ENODEV : socket_.bind(int(index));
    if (error != 0) return fail(kSniffBindFailed, kSniffBindFailedLog, error);
    if (const int e = socket_.attachFilter(groupFilter(context_.group)); e != 0) {
      return fail(kSniffFilterFailed, kSniffFilterFailedLog, e);
    }
    return receive();
  }

  bool sourcesChanged() const { return changed_; }

 private:
  std::optional<std::uint16_t> fail(std::string_view console, std::string_view log, int error) {
    shared_.report(Report::error(console, error, log));
    return std::nullopt;
  }

  std::optional<std::uint16_t> receive() {
    unsigned char buffer[kSniffBufferBytes];
    const WaitItem items[] = {WaitItem::event(shared_.snooperStop), WaitItem::event(pairStop_),
                              WaitItem::readable(socket_.fd()), WaitItem::event(sourcesChanged_)};
    for (;;) {
      const platform::WaitResult ready = platform::waitAny(items, -1);
      if (ready.status == WaitStatus::Signalled && ready.index == 3) {
        changed_ = true;
        return std::nullopt;
      }
      if (ready.status != WaitStatus::Signalled || ready.index != 2) return std::nullopt;
      for (;;) {
        const ssize_t received = ::recv(socket_.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) break;
          shared_.report(Report::consoleError(kSniffReceiveFailed, errno));
          return std::nullopt;
        }
        const std::optional<std::uint16_t> port =
            sniffedUdpPort(std::span(buffer, std::size_t(received)), context_.group);
        if (port) return port;
      }
    }
  }

  const ForwarderContext& context_;
  ForwarderShared& shared_;
  Event& pairStop_;
  Event& sourcesChanged_;
  bool changed_ = false;
  platform::PacketSocket socket_;
};

// Holds the group on the receiving interface while its port is sniffed:
// from every source, or from each of `sources` (a source-specific network
// sends nothing else). The membership table keeps at most 8, within the
// sources Linux lets one socket name (igmp_max_msf, 10). The interface is
// named by `interfaceIndex` when not 0, else by its address.
platform::Socket sniffingMembership(platform::Ipv4 group,
                                    const std::vector<platform::Ipv4>& sources,
                                    platform::Ipv4 interfaceAddress, int interfaceIndex) {
  int error = 0;
  platform::Socket socket = platform::Socket::udp(error);
  if (error != 0) return socket;
  if (sources.empty()) socket.join(group, 0, interfaceAddress, interfaceIndex);
  for (const platform::Ipv4 source : sources) {
    socket.join(group, source, interfaceAddress, interfaceIndex);
  }
  return socket;
}

constexpr std::size_t kBatchDatagrams = 64;
// After a batch that took everything, the forwarder waits this long for
// more to gather before the next one.
constexpr int kCoalesceMs = 10;
constexpr int kNoDataPollMs = 1000;

// Reports what became of a datagram that could not go at once; true when
// the forwarder goes on (that datagram lost).
bool goesOn(const platform::DatagramResult& result, ForwarderShared& shared) {
  switch (result.status) {
    case platform::DatagramStatus::Sent:
      return true;
    case platform::DatagramStatus::Stopped:
      return false;
    case platform::DatagramStatus::WaitFailed:
      shared.report(Report::consoleError(kSendWaitFailed, result.error));
      return true;
    case platform::DatagramStatus::Refused:
      // A send refused outright ends the forwarder; one that failed after
      // waiting for room only costs this datagram.
      shared.report(Report::consoleError(kSendFailed, result.error));
      return false;
    case platform::DatagramStatus::Lost:
      shared.report(Report::consoleError(kSendCompletionFailed, result.error));
      return true;
  }
  return true;
}

// Sends the group on from its shared receivers, one per wanted source (or
// one for every source): every datagram as the source sent it, nothing
// merged, so nothing is fragmented that was not already too large for the
// link; a batch per system call. The sources change while it runs: a feed
// is added for each new one and dropped, with its receiver share, for each
// one no longer wanted.
class Forwarding {
 public:
  Forwarding(const ForwarderContext& context, std::uint16_t port, std::uint16_t forwardPort,
             Event& pairStop, WantedSources& wanted)
      : context_(context),
        shared_(*context.shared),
        port_(port),
        forwardPort_(forwardPort),
        pairStop_(pairStop),
        wanted_(wanted) {}

  // False when no feed could be had at all.
  bool follow(const std::vector<platform::Ipv4>& wanted) {
    // Receiver keys name no source (0) for every source of the group.
    const std::vector<platform::Ipv4> keys =
        wanted.empty() ? std::vector<platform::Ipv4>{0} : wanted;
    std::erase_if(feeds_, [&](const Feed& feed) {
      return std::find(keys.begin(), keys.end(), feed.source) == keys.end();
    });
    for (const platform::Ipv4 source : keys) {
      const bool fed = std::any_of(feeds_.begin(), feeds_.end(),
                                   [&](const Feed& feed) { return feed.source == source; });
      if (!fed) add(source);
    }
    return !feeds_.empty();
  }

  void run(const sockaddr_in& destination) {
    platform::ensureWinsock();
    int error = 0;
    platform::Socket socket = platform::Socket::open(SOCK_DGRAM, IPPROTO_UDP, error, true);
    if (error != 0) {
      // Nothing to send with: the first send reports it and ends the forwarder.
      shared_.report(Report::consoleError(kSendSocketFailed, error));
    } else {
      if (int size = 0;
          socket.intOption(SOL_SOCKET, SO_SNDBUF, size) != 0 || size < kSendBufferBytes) {
        socket.setSendBuffer(kSendBufferBytes);
      }
      // Should a multicast destination ever get here, the relay's own
      // sockets must not hear the copy: a forwarder of that group would send
      // it again, without end.
      socket.setMulticastLoop(false);
    }
    if (!wake_.valid()) return;

    const WaitItem stops[] = {WaitItem::event(shared_.snooperStop), WaitItem::event(pairStop_)};
    for (;;) {
      if ((resync_ || wanted_.changed.tryConsume()) && !follow(wanted_.get())) return;
      resync_ = false;
      bool gathered = false;
      bool allPassed = true;
      for (Feed& feed : feeds_) {
        // A host this far behind skips to the newest data rather than hold
        // the group's memory.
        if (feed.receiver->tooFarBehind(feed.at)) feed.at = newest(*feed.receiver);
        const std::size_t count = gather(feed.at);
        if (count == 0) continue;
        gathered = true;
        const platform::DatagramsResult result =
            platform::sendDatagrams(socket.fd(), datagrams_, &destination, stops, -1);
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < result.sent; ++i) bytes += datagrams_[i].iov_len;
        feed.sent->datagrams.fetch_add(result.sent, std::memory_order_relaxed);
        feed.sent->bytes.fetch_add(bytes, std::memory_order_relaxed);
        std::size_t passed = result.sent;
        if (result.sent < count) {
          if (!goesOn(result.next, shared_)) return;
          ++passed;
        }
        for (std::size_t i = 0; i < passed; ++i) feed.at.step();
        allPassed = allPassed && passed == count;
      }
      if (!gathered) {
        if (!awaitData(stops)) return;
        continue;
      }
      if (allPassed && platform::waitAny(stops, kCoalesceMs).status != WaitStatus::Timeout) {
        return;
      }
    }
  }

 private:
  // What the forwarder reads of one receiver: that source's datagrams of
  // the group (or every source's), with their own counts on the status page.
  struct Feed {
    platform::Ipv4 source = 0;
    ReceiverPool::Lease receiver;
    BufferPosition at;
    std::shared_ptr<SendCounters> sent;
    StreamRegistry::Registration registration;
  };

  // A host starts at the newest data: a keyframe interval sent at once
  // as datagrams would overflow its socket and lose the very keyframe.
  static BufferPosition newest(const MulticastReceiver& receiver) {
    std::uint32_t unitOffset = 0;
    return receiver.attach(false, unitOffset);
  }

  void add(platform::Ipv4 source) {
    ReceiverFailure failure;
    Feed feed;
    feed.source = source;
    ReceiverKey key{context_.group, port_, shared_.receiveAddress, source};
    key.interfaceIndex = shared_.receiveInterfaceIndex;
    feed.receiver = receiverPool().acquire(key, failure);
    if (!feed.receiver) {
      shared_.report(Report::consoleError(failure.step == ReceiverFailure::Step::Create
                                              ? kCreateReceiverFailed
                                              : kBindReceiverFailed,
                                          failure.error));
      return;
    }
    feed.at = newest(*feed.receiver);
    feed.sent = std::make_shared<SendCounters>();
    RegisteredReceiver entry;
    entry.role = ReceiverRole::Forward;
    entry.peer = context_.host;
    entry.peerPort = forwardPort_;
    entry.group = context_.group;
    entry.port = port_;
    entry.source = source;
    entry.startedUnix = platform::unixSeconds();
    entry.startedMs = platform::monotonicMs();
    entry.received = feed.receiver->counters();
    entry.sent = feed.sent;
    feed.registration = streamRegistry().add(std::move(entry));
    feeds_.push_back(std::move(feed));
  }

  // Lists the datagrams published after `at`.
  std::size_t gather(const BufferPosition& at) {
    datagrams_.clear();
    BufferPosition end = at;
    while (datagrams_.size() < kBatchDatagrams && end.ready()) {
      const DatagramBlock& block = *end.block;
      const std::uint32_t begin = block.begin(end.datagram);
      datagrams_.push_back(iovec{const_cast<unsigned char*>(block.bytes() + begin),
                                 block.end(end.datagram) - begin});
      end.step();
    }
    return datagrams_.size();
  }

  // False when the pair or the snooper stops meanwhile; a change of the
  // wanted sources ends the wait too.
  bool awaitData(std::span<const WaitItem> stops) {
    for (const Feed& feed : feeds_) feed.receiver->wakeOnData(wake_);
    bool goOn = true;
    if (std::none_of(feeds_.begin(), feeds_.end(), [](Feed& feed) { return feed.at.ready(); })) {
      const WaitItem items[] = {stops[0], stops[1], WaitItem::event(wake_),
                                WaitItem::event(wanted_.changed)};
      const platform::WaitResult ready = platform::waitAny(items, kNoDataPollMs);
      goOn = ready.status == WaitStatus::Timeout ||
             (ready.status == WaitStatus::Signalled && ready.index >= 2);
      // The wait took the change's signal.
      resync_ = ready.status == WaitStatus::Signalled && ready.index == 3;
    }
    for (const Feed& feed : feeds_) feed.receiver->forgetWake(wake_);
    return goOn;
  }

  const ForwarderContext& context_;
  ForwarderShared& shared_;
  const std::uint16_t port_;
  const std::uint16_t forwardPort_;
  Event& pairStop_;
  WantedSources& wanted_;
  Event wake_{Event::Reset::Auto};
  bool resync_ = false;
  std::vector<Feed> feeds_;
  std::vector<iovec> datagrams_;
};

}  // namespace

std::optional<std::uint16_t> PortCache::find(platform::Ipv4 group) const {
  std::lock_guard guard(lock_);
  for (const auto& [cached, port] : ports_) {
    if (cached == group) return port;
  }
  return std::nullopt;
}

void PortCache::add(platform::Ipv4 group, std::uint16_t port) {
  std::lock_guard guard(lock_);
  for (const auto& entry : ports_) {
    if (entry.first == group) return;
  }
  ports_.emplace_back(group, port);
}

std::optional<std::uint16_t> sniffedUdpPort(std::span<const unsigned char> packet,
                                            platform::Ipv4 group) {
  if (packet.size() < 20) return std::nullopt;
  const unsigned char* header = packet.data();
  platform::Ipv4 destination = 0;
  std::memcpy(&destination, header + 16, sizeof destination);
  if (destination != group) return std::nullopt;
  const std::size_t totalLength = bigEndian16(header + 2);
  if (packet.size() < totalLength) return std::nullopt;
  // IGMP reports to the group and later fragments of a large datagram also
  // travel to the group, but carry no UDP header.
  if (header[0] >> 4 != 4 || header[9] != kUdp) return std::nullopt;
  if ((bigEndian16(header + 6) & 0x1fff) != 0) return std::nullopt;
  const std::size_t headerLength = std::size_t(header[0] & 0x0f) * 4;
  if (headerLength < 20 || headerLength + 4 > totalLength) return std::nullopt;
  return bigEndian16(header + headerLength + 2);
}

void runForwarder(ForwarderContext context) {
  ForwarderShared& shared = *context.shared;
  if (!isLanHost(shared.lan, context.host) || !isForwardedGroup(context.group)) return;
  const std::shared_ptr<Event> pairStop =
      context.pairStop ? context.pairStop : std::make_shared<Event>(Event::Reset::Manual);
  const std::shared_ptr<WantedSources> wanted =
      context.sources ? context.sources : std::make_shared<WantedSources>();

  std::optional<std::uint16_t> port = shared.portCache.find(context.group);
  // The group's receivers can only be had once the port is known; until
  // then this socket holds the membership, so the group reaches the
  // receiving interface while it is sniffed. A change of the host's sources
  // meanwhile joins afresh.
  platform::Socket membership;
  while (!port) {
    membership = sniffingMembership(context.group, wanted->get(), shared.receiveAddress,
                                    shared.receiveInterfaceIndex);
    PortSniffer sniffer(context, *pairStop, wanted->changed);
    port = sniffer.run();
    if (sniffer.sourcesChanged()) continue;
    if (!port) return;
    shared.portCache.add(context.group, *port);
    port = shared.portCache.find(context.group);  // another forwarder may have been first
  }
  // A group sent to port 0 cannot be received.
  if (*port == 0) return;

  const std::uint16_t forwardPort = shared.forwardPort != 0 ? shared.forwardPort : *port;
  Forwarding forwarding(context, *port, forwardPort, *pairStop, *wanted);
  // Taken before the feeds follow them: a change after this shows again.
  wanted->changed.tryConsume();
  if (!forwarding.follow(wanted->get())) return;
  membership.close();  // the receivers' own memberships hold the group now
  forwarding.run(platform::makeSockaddr(context.host, forwardPort));
}

WantedSources::WantedSources(std::vector<platform::Ipv4> sources) : sources_(std::move(sources)) {}

std::vector<platform::Ipv4> WantedSources::get() const {
  std::lock_guard guard(lock_);
  return sources_;
}

void WantedSources::set(std::vector<platform::Ipv4> sources) {
  {
    std::lock_guard guard(lock_);
    if (sources == sources_) return;
    sources_ = std::move(sources);
  }
  changed.set();
}

}  // namespace relay
