#include "relay/tuner/discovery_responder.h"

#include "platform/socket_io.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/network_cards.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace relay {
namespace {

// Room for any datagram a LAN sends; a longer one is cut and refused.
constexpr std::size_t kReceiveBytes = 2048;

// A bucket after one more reply, or nothing when it has none left.
std::optional<std::int64_t> afterTaking(std::int64_t fullAt, std::int64_t nowMs,
                                        std::int64_t intervalMs, int burst) {
  const std::int64_t next = std::max(fullAt, nowMs) + intervalMs;
  if (next - nowMs > intervalMs * burst) return std::nullopt;
  return next;
}

}  // namespace

bool ReplyBudget::allow(platform::Ipv4 source, std::int64_t nowMs) {
  const std::optional<std::int64_t> all =
      afterTaking(allFullAt_, nowMs, limits_.allIntervalMs, limits_.allBurst);
  if (!all) return false;
  auto found = sources_.find(source);
  const std::int64_t sourceFullAt = found == sources_.end() ? nowMs : found->second;
  const std::optional<std::int64_t> own =
      afterTaking(sourceFullAt, nowMs, limits_.sourceIntervalMs, limits_.sourceBurst);
  if (!own) return false;
  if (found == sources_.end()) {
    makeRoom(nowMs);
    if (sources_.size() >= limits_.mostSources) return false;  // a table of size 0
    found = sources_.emplace(source, *own).first;
  }
  found->second = *own;
  allFullAt_ = *all;
  return true;
}

void ReplyBudget::makeRoom(std::int64_t nowMs) {
  if (sources_.size() < limits_.mostSources) return;
  // Full buckets say nothing a new entry would not.
  std::erase_if(sources_, [nowMs](const auto& entry) { return entry.second <= nowMs; });
  if (sources_.size() < limits_.mostSources || sources_.empty()) return;
  // Else the one nearest full: forgetting it gives away the least.
  sources_.erase(
      std::min_element(sources_.begin(), sources_.end(),
                       [](const auto& a, const auto& b) { return a.second < b.second; }));
}

TunerDiscoveryResponder::TunerDiscoveryResponder(platform::Ipv4 listenAddress,
                                                 const TunerIdentity& tuner,
                                                 common::LineWriter console,
                                                 platform::AddressList allow,
                                                 const ReplyBudget::Limits& limits)
    : host_(listenAddress),
      reply_(buildDiscoverReply(tuner)),
      deviceId_(tuner.deviceId),
      console_(std::move(console)),
      allow_(std::move(allow)),
      budget_(limits) {}

TunerDiscoveryResponder::~TunerDiscoveryResponder() {
  stop();
}

bool TunerDiscoveryResponder::start(std::uint16_t port) {
  if (socket_.valid()) return true;
  const auto fail = [this](const std::string& what, int error) {
    console_("Tuner discovery: " + what + " failed with error " + std::to_string(error));
    socket_.close();
    return false;
  };
  lan_ = platform::lanSubnetOf(host_);
  lan_.allow = allow_;
  subnetBroadcast_ = platform::subnetBroadcastOf(lan_);
  interfaceIndex_ = platform::interfaceIndexOf(platform::ipv4Text(host_));

  int error = 0;
  socket_ = platform::Socket::open(SOCK_DGRAM, IPPROTO_UDP, error, true);
  if (!socket_.valid()) return fail("socket()", error);
  if ((error = socket_.setPacketInfo(true)) != 0) return fail("IP_PKTINFO", error);
  // The any-address, for the broadcasts; no SO_REUSEADDR: a second program
  // on the port would take some of the unicast requests.
  if ((error = socket_.bind(INADDR_ANY, port)) != 0) {
    return fail("bind() to UDP port " + std::to_string(port), error);
  }
  stop_.reset();
  if ((error = platform::startJoinable(thread_, [this] { receiveThread(); })) != 0) {
    return fail("CreateThread()", error);
  }
  return true;
}

void TunerDiscoveryResponder::stop() {
  stop_.set();
  if (thread_.joinable()) thread_.join();
  socket_.close();
}

bool TunerDiscoveryResponder::accepted(const sockaddr_in& peer, int interfaceIndex,
                                       platform::Ipv4 destination) const {
  if (interfaceIndex == 0 || interfaceIndex != interfaceIndex_) return false;
  if (destination != host_ && destination != INADDR_BROADCAST &&
      (subnetBroadcast_ == 0 || destination != subnetBroadcast_)) {
    return false;
  }
  return peer.sin_port != 0 && platform::isLanHost(lan_, peer.sin_addr.s_addr);
}

void TunerDiscoveryResponder::receiveThread() {
  const int fd = socket_.fd();
  unsigned char buffer[kReceiveBytes];
  const platform::WaitItem items[] = {platform::WaitItem::event(stop_),
                                      platform::WaitItem::readable(fd)};
  for (;;) {
    const platform::WaitResult ready = platform::waitAny(items, -1);
    if (ready.status != platform::WaitStatus::Signalled || ready.index == 0) return;
    // Drain what is there, looking at the stop between datagrams.
    for (;;) {
      if (stop_.tryConsume()) return;
      platform::ArrivedDatagram datagram;
      int error = 0;
      const platform::ReceiveStatus status =
          platform::receiveArrived(fd, std::span(buffer, sizeof buffer), datagram, error);
      if (status == platform::ReceiveStatus::Empty) break;
      if (status == platform::ReceiveStatus::Failed) {
        console_("Tuner discovery: recvmsg() failed with error " + std::to_string(error));
        return;
      }
      const sockaddr_in& peer = datagram.peer;
      if (datagram.truncated || peer.sin_family != AF_INET) continue;
      if (!accepted(peer, datagram.interfaceIndex, datagram.destination)) continue;
      if (!parseDiscoverRequest(std::span<const std::uint8_t>(buffer, datagram.size), deviceId_)) {
        continue;
      }
      if (!budget_.allow(peer.sin_addr.s_addr, platform::monotonicMs())) continue;
      reply(peer);
    }
  }
}

void TunerDiscoveryResponder::reply(const sockaddr_in& peer) {
  // From -li's address, whatever address the request was sent to: media
  // centers take the sender of the reply for the tuner's address.
  iovec vector{const_cast<std::uint8_t*>(reply_.data()), reply_.size()};
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr message{};
  message.msg_name = const_cast<sockaddr_in*>(&peer);
  message.msg_namelen = sizeof peer;
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  // Interface (any), then the address the datagram goes out from.
  const in_pktinfo info{0, in_addr{host_}, in_addr{}};
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  // A reply that finds no room is dropped, as the network may drop it:
  // the media center asks again. Nothing here waits.
  for (;;) {
    if (::sendmsg(socket_.fd(), &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 || errno != EINTR) {
      return;
    }
  }
}

}  // namespace relay
