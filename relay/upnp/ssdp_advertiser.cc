#include "relay/upnp/ssdp_advertiser.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/parse_number.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/net_init.h"
#include "platform/network_cards.h"
#include "platform/os_token.h"
#include "platform/socket_io.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "relay/upnp/descriptions.h"

namespace relay {
namespace {

using platform::writeLine;

constexpr std::string_view kNotifyLine = "NOTIFY * HTTP/1.1\r\n";
constexpr std::string_view kAnswerLine = "HTTP/1.1 200 OK\r\n";
constexpr std::string_view kHostLine = "Host: 239.255.255.250:1900\r\n";
constexpr std::string_view kSearchStart = "M-SEARCH * HTTP";

// The search targets of kSsdpRootDevice .. kSsdpConnectionManager; the device UUID
// is filled in.
constexpr std::string_view kTargets[] = {
    "upnp:rootdevice",
    "uuid:",
    "urn:schemas-upnp-org:device:MediaServer:1",
    "urn:schemas-upnp-org:service:ContentDirectory:1",
    "urn:schemas-upnp-org:service:ConnectionManager:1",
};
constexpr int kTargetCount = 5;

// A datagram send normally completes at once; a full send buffer gets this
// long to drain.
constexpr int kSendWaitMs = 1000;
// A waiting answer costs a few dozen bytes and waits 29 s at most (the
// largest spread is 30 s), so this many allows a burst of searches from a
// whole LAN. Past it a search is dropped, as a lost datagram would be; the
// searcher asks again.
constexpr std::size_t kMostWaitingAnswers = 1024;
// The spread of an MX above 30, and the most a negative MX gets.
constexpr std::uint32_t kLargeMxSpread = 5;

std::string target(int type, std::string_view deviceUuid) {
  std::string text(kTargets[type]);
  if (type == kSsdpDeviceUuid) text += deviceUuid;
  return text;
}

std::string usn(int type, std::string_view deviceUuid) {
  std::string text = "uuid:" + std::string(deviceUuid);
  if (type != kSsdpDeviceUuid) text += "::" + target(type, deviceUuid);
  return text;
}

std::string errorText(std::string_view what, int error) {
  return std::string(what) + std::to_string(error);
}

std::uint32_t spreadOf(std::string_view mx) {
  std::int32_t value = 0;
  if (!common::tryParseNumber(mx, value)) return 1;
  if (value > 30) return kLargeMxSpread;
  if (value == 0) return 1;
  if (value < 0) {
    // Taken in unsigned arithmetic: the magnitude of INT32_MIN does not fit
    // an int32. Searchers that send a negative MX get their answer as
    // quickly as those that ask for too long a wait; a large magnitude
    // would hold the answer for years.
    const std::uint32_t magnitude = 0u - std::uint32_t(value);
    return std::min(magnitude, kLargeMxSpread);
  }
  return std::uint32_t(value);
}

std::optional<int> searchTypeOf(std::string_view st, std::string_view deviceUuid) {
  if (st == "ssdp:all") return kSsdpAllTypes;
  for (int type = 0; type < kTargetCount; ++type) {
    if (st == target(type, deviceUuid)) return type;
  }
  return std::nullopt;
}

// The value of a header line `name` (upper case, with its colon): the line
// must hold at least one byte after the colon.
std::optional<std::string_view> headerValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || common::toUpperAscii(line.substr(0, name.size())) != name) {
    return std::nullopt;
  }
  return common::trim(line.substr(name.size()), " ");
}

}  // namespace

SsdpMessages buildSsdpMessages(std::string_view hostAddress, std::uint16_t port,
                               std::string_view serverToken, std::uint32_t bootId,
                               std::string_view deviceUuid) {
  std::string tail = "Location: http://";
  tail += hostAddress;
  tail += ":";
  tail += std::to_string(port);
  tail += "/description.xml\r\nCache-Control: max-age=";
  tail += std::to_string(kSsdpMaxAgeSeconds);
  tail += "\r\nExt:\r\nServer: ";
  tail += serverToken;
  tail += " UPnP/1.0 UPnP-Device-Host/1.0\r\nBOOTID.UPNP.ORG: ";
  tail += std::to_string(bootId);
  tail += "\r\nCONFIGID.UPNP.ORG: ";
  tail += kConfigId;
  tail += "\r\n\r\n";

  const auto notify = [&](int type, std::string_view nts) {
    std::string text(kNotifyLine);
    text += kHostLine;
    text += "NT: " + target(type, deviceUuid) + "\r\n";
    text += "NTS: " + std::string(nts) + "\r\n";
    text += "USN: " + usn(type, deviceUuid) + "\r\n";
    return text + tail;
  };
  SsdpMessages messages;
  for (int type = 0; type < kTargetCount; ++type) {
    messages[2 * type] = notify(type, "ssdp:alive");
    std::string answer(kAnswerLine);
    answer += kHostLine;
    answer += "ST: " + target(type, deviceUuid) + "\r\n";
    answer += "USN: " + usn(type, deviceUuid) + "\r\n";
    messages[2 * type + 1] = answer + tail;
  }
  messages[2 * kSsdpByeBye] = notify(kSsdpRootDevice, "ssdp:byebye");
  return messages;
}

std::vector<std::size_t> ssdpMessageIndices(int type, bool multicast) {
  std::vector<std::size_t> indices;
  const auto add = [&](int t) { indices.push_back(std::size_t(2 * t + (multicast ? 0 : 1))); };
  if (type == kSsdpAllTypes) {
    for (int t = 0; t < kTargetCount; ++t) add(t);
  } else if (type >= 0 && type < kTargetCount) {
    add(type);
  } else if (type == kSsdpByeBye && multicast) {
    add(type);
  }
  return indices;
}

std::optional<SsdpSearch> readSsdpSearch(std::string_view datagram, std::string_view deviceUuid) {
  if (datagram.size() <= kSearchStart.size() || !datagram.starts_with(kSearchStart)) {
    return std::nullopt;
  }
  std::string_view mx;
  std::string_view st;
  bool requestLine = true;
  std::size_t start = 0;
  while (start < datagram.size()) {
    std::size_t end = datagram.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = datagram.size();
    const std::string_view line = datagram.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (requestLine) {
      requestLine = false;
      continue;
    }
    // MAN is taken so that it is never read as anything else, and not
    // checked: searchers get it wrong often enough.
    if (headerValue(line, "MAN:")) continue;
    if (const auto value = headerValue(line, "MX:")) {
      mx = *value;
    } else if (const auto value = headerValue(line, "ST:")) {
      st = *value;
    }
  }
  if (mx.empty()) return std::nullopt;
  const std::optional<int> type = searchTypeOf(st, deviceUuid);
  if (!type) return std::nullopt;
  return SsdpSearch{*type, spreadOf(mx)};
}

SsdpAdvertiser::SsdpAdvertiser(const std::string& hostAddress, std::uint16_t port,
                               std::string_view deviceUuid, platform::AddressList allow)
    : host_(platform::parseIpv4(hostAddress)),
      deviceUuid_(deviceUuid),
      allow_(std::move(allow)),
      bootId_(std::uint32_t(std::time(nullptr))),
      messages_(
          buildSsdpMessages(hostAddress, port, platform::serverToken(), bootId_, deviceUuid_)),
      random_(std::uint32_t(platform::monotonicMs()) ^ bootId_ ^
              std::uint32_t(reinterpret_cast<std::uintptr_t>(this))) {
  platform::ensureWinsock();
  interfaceIndex_ = platform::interfaceIndexOf(hostAddress);
  openSockets();
  platform::startJoinable(repeat_, [this] { repeatThread(); });
}

SsdpAdvertiser::~SsdpAdvertiser() {
  if (stopped_) return;
  if (started_) {
    stop();
    return;
  }
  // Never announced: nothing to take back, only the repeat thread to end.
  stopped_ = true;
  listenerStop_.set();
  repeatStop_.set();
  abort_.set();
  endThreads();
}

void SsdpAdvertiser::openSockets() {
  // A socket whose SO_REUSEADDR fails stays open without its other options.
  const auto open = [](platform::Socket& socket) {
    int error = 0;
    socket = platform::Socket::open(SOCK_DGRAM, IPPROTO_UDP, error, true);
    if (!socket.valid()) {
      writeLine(errorText("WSASocket() failed with error ", error));
      return false;
    }
    return true;
  };
  const auto reuse = [](platform::Socket& socket) {
    const int error = socket.setReuseAddress(true);
    if (error != 0) writeLine(errorText("Setsockopt failed with error ", error));
    return error == 0;
  };

  if (open(multicast_) && reuse(multicast_)) multicast_.setMulticastInterface(host_);
  open(reply_);
  if (open(listen_)) {
    if (!reuse(listen_)) {
      listenBindError_ = EINVAL;
      return;
    }
    listen_.setMulticastInterface(host_);
    // Only the group this socket joins, not every group of the host.
    listen_.setIntOption(IPPROTO_IP, IP_MULTICAST_ALL, 0);
    listen_.setPacketInfo(true);
    // The any-address: a socket bound to the unicast address would never
    // see the group's datagrams. The interface check in the listener keeps
    // the other interfaces out.
    listenBindError_ = listen_.bind(INADDR_ANY, kSsdpPort);
  }
}

void SsdpAdvertiser::start() {
  if (started_ || stopped_) return;
  started_ = true;
  send(kSsdpAllTypes, 0, nullptr);
  // A failed join shows as a listener that hears unicast searches only.
  if (listen_.valid()) listen_.joinGroup(platform::parseIpv4(std::string(kSsdpGroup)), host_);
  // Without it searches are only queued, up to the bound, and never answered.
  platform::startJoinable(answerer_, [this] { answerThread(); });
  platform::startJoinable(listener_, [this] { listenerThread(); });
}

void SsdpAdvertiser::stop() {
  if (stopped_) return;
  stopped_ = true;
  listenerStop_.set();
  repeatStop_.set();
  abort_.set();
  send(kSsdpByeBye, std::nullopt, nullptr);
  platform::sleepMs(kSsdpByeByeGraceMs);
  endThreads();
}

void SsdpAdvertiser::endThreads() {
  if (listener_.joinable()) listener_.join();
  if (repeat_.joinable()) repeat_.join();
  // Set abort ends it at once; what still waits is never sent.
  if (answerer_.joinable()) answerer_.join();
  std::lock_guard<std::mutex> hold(waitingLock_);
  waiting_.clear();
}

bool SsdpAdvertiser::aborted(std::uint32_t seconds) {
  const platform::WaitItem items[] = {platform::WaitItem::event(abort_)};
  return platform::waitAny(items, int(seconds) * 1000).status == platform::WaitStatus::Signalled;
}

void SsdpAdvertiser::send(int type, std::optional<std::uint32_t> delaySeconds,
                          const sockaddr_in* peer) {
  if (delaySeconds && aborted(*delaySeconds)) return;
  const bool multicast = peer == nullptr;
  const sockaddr_in to =
      multicast ? platform::makeSockaddr(platform::parseIpv4(std::string(kSsdpGroup)), kSsdpPort)
                : *peer;

  std::lock_guard<std::mutex> lock(sendLock_);
  platform::Socket& socket = multicast ? multicast_ : reply_;
  if (!socket.valid()) return;
  for (const std::size_t index : ssdpMessageIndices(type, multicast)) {
    if (!sendDatagram(socket.fd(), messages_[index], to)) return;
  }
  if (type == kSsdpByeBye) writeLine("Adverter: Multicasting Bye Bye message.");
}

bool SsdpAdvertiser::sendDatagram(int fd, const std::string& message, const sockaddr_in& to) {
  const platform::DatagramResult result = platform::sendDatagram(fd, message, &to, {}, kSendWaitMs);
  switch (result.status) {
    case platform::DatagramStatus::WaitFailed:
      writeLine(errorText("Adverter: WSAWaitForMultipleEvents failed with error: ", result.error));
      return true;
    case platform::DatagramStatus::Refused:
    case platform::DatagramStatus::Lost:
      writeLine(errorText("Adverter: WSASendTo failed with error: ", result.error));
      // A refusal at once ends the occasion; a send that never found room
      // costs this datagram only.
      return result.status == platform::DatagramStatus::Lost;
    case platform::DatagramStatus::Sent:
    case platform::DatagramStatus::Stopped:  // it waits on no stops
      return true;
  }
  return true;
}

void SsdpAdvertiser::repeatThread() {
  const platform::WaitItem items[] = {platform::WaitItem::event(repeatStop_)};
  for (;;) {
    // Set, or an event that cannot be waited on: either way the end.
    if (platform::waitAny(items, kSsdpRepeatMs).status != platform::WaitStatus::Timeout) return;
    if (abort_.tryConsume()) continue;
    send(kSsdpAllTypes, std::nullopt, nullptr);
  }
}

bool SsdpAdvertiser::ours(int interfaceIndex, in_addr_t destination) const {
  return interfaceIndex_ == 0 || interfaceIndex == interfaceIndex_ || destination == host_;
}

void SsdpAdvertiser::listenerThread() {
  if (!listen_.valid() || listenBindError_ != 0) {
    const int error = listen_.valid() ? listenBindError_ : EBADF;
    writeLine(errorText("Adverter: WSARecv failed with error: ", error));
    return;
  }
  const int fd = listen_.fd();
  unsigned char buffer[kSsdpReceiveBytes];
  const platform::WaitItem items[] = {platform::WaitItem::event(listenerStop_),
                                      platform::WaitItem::readable(fd)};
  for (;;) {
    const platform::WaitResult ready = platform::waitAny(items, -1);
    if (ready.status != platform::WaitStatus::Signalled || ready.index == 0) return;
    // Drain what is there.
    for (;;) {
      if (listenerStop_.tryConsume()) return;
      platform::ArrivedDatagram datagram;
      int error = 0;
      const platform::ReceiveStatus status =
          platform::receiveArrived(fd, std::span(buffer, sizeof buffer), datagram, error);
      if (status == platform::ReceiveStatus::Empty) break;
      if (status == platform::ReceiveStatus::Failed) {
        writeLine(errorText("Adverter: WSARecv failed with error: ", error));
        return;
      }
      if (datagram.size == 0 || datagram.peer.sin_family != AF_INET) continue;
      if (datagram.hasArrival && !ours(datagram.interfaceIndex, datagram.destination)) continue;
      if (!allow_.contains(datagram.peer.sin_addr.s_addr)) continue;
      const std::optional<SsdpSearch> search = readSsdpSearch(
          std::string_view(reinterpret_cast<const char*>(buffer), datagram.size), deviceUuid_);
      if (search) answer(*search, datagram.peer);
    }
  }
}

void SsdpAdvertiser::answer(const SsdpSearch& search, const sockaddr_in& peer) {
  const std::uint32_t delay =
      std::uniform_int_distribution<std::uint32_t>(0, search.spread - 1)(random_);
  {
    std::lock_guard<std::mutex> hold(waitingLock_);
    if (waiting_.size() >= kMostWaitingAnswers) return;
    waiting_.emplace(platform::monotonicMs() + std::int64_t(delay) * 1000,
                     WaitingAnswer{search.type, peer});
  }
  waitingChanged_.set();
}

void SsdpAdvertiser::answerThread() {
  const platform::WaitItem items[] = {platform::WaitItem::event(abort_),
                                      platform::WaitItem::event(waitingChanged_)};
  std::vector<WaitingAnswer> due;
  for (;;) {
    int waitMs = -1;
    {
      std::lock_guard<std::mutex> hold(waitingLock_);
      const std::int64_t now = platform::monotonicMs();
      while (!waiting_.empty() && waiting_.begin()->first <= now) {
        due.push_back(waiting_.begin()->second);
        waiting_.erase(waiting_.begin());
      }
      if (!waiting_.empty()) waitMs = int(waiting_.begin()->first - now);
    }
    for (const WaitingAnswer& answer : due) {
      if (abort_.tryConsume()) return;
      send(answer.type, std::nullopt, &answer.peer);
    }
    if (!due.empty()) {
      // The sends took time: look again before waiting.
      due.clear();
      continue;
    }
    const platform::WaitResult woke = platform::waitAny(items, waitMs);
    // An event that cannot be waited on would turn this into a busy loop.
    if (woke.status == platform::WaitStatus::Failed) return;
    if (woke.status == platform::WaitStatus::Signalled && woke.index == 0) return;
  }
}

}  // namespace relay
