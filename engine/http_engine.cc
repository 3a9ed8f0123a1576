#include "engine/http_engine.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <limits>

#include "engine/request_collector.h"
#include "engine/request_parser.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/net_init.h"
#include "platform/socket_io.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace engine {
namespace {

using platform::WaitItem;
using platform::WaitStatus;

// As deep as the system allows: the kernel caps it at net.core.somaxconn.
// Linux drops the SYN of a connect that finds the queue full, and the client
// only tries again after one, three and seven seconds, so a shallow queue
// turns a burst of players into seconds of delay.
constexpr int kListenBacklog = std::numeric_limits<int>::max();

void printError(const char* call, int error) {
  platform::writeLine(std::string(call) + " failed with error " + std::to_string(error));
}

// Opens one listener; prints the failures the operator needs to see. A
// failed bind is silent: the port is simply taken.
platform::Socket openListener(const ListenAddress& where) {
  int error = 0;
  platform::Socket socket = platform::Socket::open(SOCK_STREAM, IPPROTO_TCP, error, true);
  if (!socket.valid()) {
    printError("WSASocket()", error);
    return {};
  }
  // A restart must not fail on connections of the last run in TIME_WAIT.
  socket.setReuseAddress(true);
  if (socket.bind(where.address, where.port) != 0) return {};
  if ((error = socket.listen(kListenBacklog)) != 0) {
    printError("listen()", error);
    return {};
  }
  return socket;
}

void printNewConnection(const sockaddr_in& peer) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  char line[96];
  std::snprintf(line, sizeof line, "%01d:%01d:%01d New connection from: %s", parts.tm_hour,
                parts.tm_min, parts.tm_sec, platform::ipv4Text(peer.sin_addr.s_addr).c_str());
  platform::writeLine(line);
}

// One counted connection of a host, given back when the worker that holds
// it ends, or when its thread could not start.
class HostSlot {
 public:
  HostSlot(std::shared_ptr<EngineCore> core, platform::Ipv4 host)
      : core_(std::move(core)), host_(host) {}
  ~HostSlot() {
    if (core_->settings.maxConnectionsPerHost != 0) core_->hosts.release(host_);
  }
  HostSlot(const HostSlot&) = delete;
  HostSlot& operator=(const HostSlot&) = delete;

 private:
  std::shared_ptr<EngineCore> core_;
  platform::Ipv4 host_;
};

// Whether the engine serves a connection from `host` now: in the allow-list
// and under its limit of open connections (which then counts it).
bool admit(EngineCore& core, platform::Ipv4 host) {
  if (!core.settings.allow.contains(host)) {
    core.refusals.allowList.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (!core.hosts.take(host, core.settings.maxConnectionsPerHost)) {
    core.refusals.perHost.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

void acceptLoop(std::shared_ptr<EngineCore> core, platform::Socket listener) {
  const WaitItem items[] = {WaitItem::event(core->shutdownEvent),
                            WaitItem::readable(listener.fd())};
  for (;;) {
    const platform::WaitResult ready = platform::waitAny(items, -1);
    if (ready.status != WaitStatus::Signalled || ready.index == 0) return;

    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener.fd(), reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: say so, give the system a moment and
      // keep accepting rather than leave the port dead for good.
      printError("accept()", errno);
      if (core->shutdownEvent.wait(100)) return;
      continue;
    }
    platform::UniqueFd socket(fd);
    const platform::Ipv4 from = peer.sin_addr.s_addr;
    // A refused connection is closed here, before a byte of it is read.
    if (!admit(*core, from)) continue;
    if (core->settings.printConnections) printNewConnection(peer);
    auto owned = std::make_shared<platform::UniqueFd>(std::move(socket));
    auto slot = std::make_shared<HostSlot>(core, from);
    // A connection whose thread cannot start is closed with `owned`, and
    // its host's count given back with `slot`.
    platform::startDetached(
        [core, owned, slot, from] { connectionWorker(core, std::move(*owned), from); },
        platform::kWorkerStackBytes);
  }
}

}  // namespace

bool HostConnections::take(platform::Ipv4 host, std::uint32_t limit) {
  if (limit == 0) return true;
  std::lock_guard guard(lock_);
  std::uint32_t& open = open_[host];
  if (open >= limit) return false;
  ++open;
  return true;
}

void HostConnections::release(platform::Ipv4 host) {
  std::lock_guard guard(lock_);
  const auto found = open_.find(host);
  if (found == open_.end()) return;
  if (--found->second == 0) open_.erase(found);
}

std::uint32_t HostConnections::openOf(platform::Ipv4 host) const {
  std::lock_guard guard(lock_);
  const auto found = open_.find(host);
  return found == open_.end() ? 0 : found->second;
}

HttpEngine::HttpEngine(HttpEngineSettings settings) : core_(std::make_shared<EngineCore>()) {
  core_->startTime = std::uint32_t(platform::unixSeconds());
  core_->settings = std::move(settings);
}

HttpEngine::~HttpEngine() {
  core_->shutdownEvent.set();
  for (std::thread& thread : acceptThreads_) thread.join();
}

void HttpEngine::startListening() {
  platform::ensureWinsock();
  for (const ListenAddress& where : core_->settings.listeners) {
    platform::Socket listener = openListener(where);
    if (!listener.valid()) continue;
    platform::Ipv4 address;
    std::uint16_t port = 0;
    listener.localAddress(address, port);
    auto owned = std::make_shared<platform::Socket>(std::move(listener));
    std::thread thread;
    const int error = platform::startJoinable(
        thread, [core = core_, owned] { acceptLoop(core, std::move(*owned)); });
    if (error != 0) {
      printError("CreateThread()", error);
      continue;
    }
    acceptThreads_.push_back(std::move(thread));
    ports_.push_back(port);
  }
}

// A send waits for room as long as the idle time-out, and ends at the stop.
bool HttpConnection::sendAll(std::string_view bytes, bool more) {
  const WaitItem stops[] = {WaitItem::event(core_->shutdownEvent)};
  platform::SendWaits waits;
  waits.stops = stops;
  waits.stallMs = core_->settings.idleTimeoutMs;
  return platform::sendAll(fd(), bytes, waits, more).status == platform::SendStatus::Sent;
}

bool HttpConnection::sendFile(int file, std::uint64_t offset, std::uint64_t length,
                              std::size_t window) {
  const WaitItem stops[] = {WaitItem::event(core_->shutdownEvent)};
  platform::SendWaits waits;
  waits.stops = stops;
  waits.stallMs = core_->settings.idleTimeoutMs;
  return platform::sendFileAll(fd(), file, offset, length, window, waits).status ==
         platform::SendStatus::Sent;
}

void connectionWorker(std::shared_ptr<EngineCore> core, platform::UniqueFd socket,
                      platform::Ipv4 peer) {
  HttpConnection connection(core, std::move(socket), peer);
  const HttpEngineSettings& settings = core->settings;
  const bool bounded = settings.bufferRule == BufferRule::Bounded;
  const WaitItem items[] = {WaitItem::event(core->shutdownEvent),
                            WaitItem::readable(connection.fd())};
  std::vector<char> buffer(settings.bufferSize);
  RequestCollector collector(bounded ? settings.bufferSize : kLargestRequest);
  HttpRequest request;
  bool firstReceive = true;

  for (;;) {
    // Collect one request.
    collector.clear();
    std::size_t received = 0;
    // Set by the request's first byte: when its head must be in.
    std::int64_t headDeadline = -1;
    RequestCollector::Status status = RequestCollector::Status::Waiting;
    while (status == RequestCollector::Status::Waiting) {
      int waitMs = settings.idleTimeoutMs;
      bool headWait = false;
      if (headDeadline >= 0 && !collector.headComplete()) {
        const std::int64_t left = headDeadline - platform::monotonicMs();
        if (left <= 0) {
          core->refusals.slowHead.fetch_add(1, std::memory_order_relaxed);
          return;
        }
        headWait = waitMs < 0 || left < waitMs;
        if (headWait) waitMs = int(left);
      }
      const platform::WaitResult ready = platform::waitAny(items, waitMs);
      if (ready.status == WaitStatus::Failed) {
        platform::writeLine("WSAWaitForMultipleEvents() failed " + std::to_string(ready.error));
        return;
      }
      if (ready.status == WaitStatus::Timeout && headWait) {
        core->refusals.slowHead.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      if (ready.status == WaitStatus::Timeout || ready.index == 0) return;

      char* into = buffer.data() + (bounded ? received : 0);
      const std::size_t room = bounded ? buffer.size() - received : buffer.size();
      const ssize_t n = ::recv(connection.fd(), into, room, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n < 0) {
        const bool reset = errno == ECONNRESET || errno == ECONNABORTED;
        if (firstReceive && (settings.printResets || !reset)) printError("WSARecv()", errno);
        return;
      }
      if (n == 0) return;
      firstReceive = false;
      if (headDeadline < 0 && settings.headTimeoutMs > 0) {
        headDeadline = platform::monotonicMs() + settings.headTimeoutMs;
      }
      received += std::size_t(n);
      if (collector.bytes().size() + std::size_t(n) > kLargestRequest) return;
      status = collector.append(std::string_view(into, std::size_t(n)));
      if (status == RequestCollector::Status::Waiting && bounded && received >= buffer.size()) {
        return;
      }
    }

    if (status == RequestCollector::Status::Malformed) {
      request = HttpRequest{};
      request.malformed = true;
      request.closeAfter = !settings.keepAliveByDefault;
    } else {
      parseRequest(collector.bytes(), request, settings.keepAliveByDefault);
    }
    // A program that answers nothing closes the connection.
    if (!settings.handler || !settings.handler(connection, request) || request.closeAfter) return;
  }
}

}  // namespace engine
