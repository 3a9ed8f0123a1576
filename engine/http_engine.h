// The HTTP engine both programs share: listening sockets with one accept
// thread each, and one detached worker thread per connection that collects
// requests, has the application classify them, and frames the answers.
//
// The programs differ only in the settings below, their handler among them.
// Everything a worker
// uses lives in a shared core, so a worker still finishing after the engine
// was destroyed never touches freed memory; a stop (shutdownEvent) ends
// every accept thread and worker at its next wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/http_request.h"
#include "platform/address_list.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace engine {

class HttpConnection;

// The program's side of every request: classifies it (the program's kinds
// and their fields are its own) and answers it through the response writer
// (response_writer.h) or a hand-off that writes on the connection itself.
// Returns false when the connection must close (an answer that closes, a
// failed send). A malformed request arrives with `malformed` set.
using RequestHandler = std::function<bool(HttpConnection&, HttpRequest&)>;

// How the connection lines of an answer read.
enum class ConnectionLines {
  // "Connection: close" when the connection closes after the answer.
  WhenClosing,
  // "Connection: Close", or "Connection: Keep-Alive" with a "Keep-Alive:
  // timeout=" line giving the idle time-out in whole seconds.
  Always,
};

// How a request is read into the connection's buffer.
enum class BufferRule {
  // Each receive continues where the last one stopped: a request never grows
  // past the buffer, and a POST announcing more is refused once its head is in.
  Bounded,
  // Each receive refills the buffer; the request collects up to
  // kLargestRequest.
  Refilled,
};

struct ListenAddress {
  platform::Ipv4 address;  // network order; 0 for every interface
  std::uint16_t port;
};

struct HttpEngineSettings {
  std::vector<ListenAddress> listeners;
  std::size_t bufferSize = 8192;
  BufferRule bufferRule = BufferRule::Bounded;
  int idleTimeoutMs = 120000;
  // How long a request's head, up to its blank line, may take from its
  // first byte; a slower one closes the connection unanswered. 0: no limit
  // but the idle time-out between receives.
  int headTimeoutMs = 10000;
  // Hosts whose connections are served; one outside is closed at once after
  // accept, neither read nor answered nor printed. Empty: everyone.
  platform::AddressList allow;
  // Connections one host may have open at once; one more is closed at once
  // after accept. 0: no limit.
  std::uint32_t maxConnectionsPerHost = 0;
  // Without a Connection line, whether the connection stays open.
  bool keepAliveByDefault = true;
  ConnectionLines connectionLines = ConnectionLines::WhenClosing;
  // A first receive that finds the connection reset is printed.
  bool printResets = false;
  // The "New connection from" line for each accepted connection.
  bool printConnections = false;
  // The product token of the Server lines a program writes.
  std::string serverToken;
  RequestHandler handler;
};

// Connections the engine closed without an answer, by reason; the
// programs' status pages show them.
struct EngineRefusals {
  std::atomic<std::uint64_t> allowList{0};  // the host is not in the allow-list
  std::atomic<std::uint64_t> perHost{0};    // the host had its most connections open
  std::atomic<std::uint64_t> slowHead{0};   // the request head took too long
};

// The connections each host has open, for maxConnectionsPerHost.
class HostConnections {
 public:
  // Counts one more connection of `host`, unless it has `limit` open
  // already (0: no limit, nothing counted). False when refused.
  bool take(platform::Ipv4 host, std::uint32_t limit);
  void release(platform::Ipv4 host);
  // How many `host` has open now.
  std::uint32_t openOf(platform::Ipv4 host) const;

 private:
  mutable std::mutex lock_;
  std::unordered_map<platform::Ipv4, std::uint32_t> open_;
};

// What workers share with the engine; lives as long as its last user.
struct EngineCore {
  HttpEngineSettings settings;
  EngineRefusals refusals;
  HostConnections hosts;
  std::uint32_t startTime = 0;
  platform::Event shutdownEvent{platform::Event::Reset::Manual};
};

class HttpConnection {
 public:
  HttpConnection(std::shared_ptr<EngineCore> core, platform::UniqueFd socket,
                 platform::Ipv4 peer = 0)
      : core_(std::move(core)), socket_(std::move(socket)), peer_(peer) {}

  int fd() const { return socket_.get(); }
  // The client's address (network order), as accept gave it.
  platform::Ipv4 peer() const { return peer_; }
  // How long the connection waits for the client, in both directions.
  int idleTimeoutMs() const { return core_->settings.idleTimeoutMs; }
  const EngineCore& core() const { return *core_; }
  const HttpEngineSettings& settings() const { return core_->settings; }
  platform::Event& shutdownEvent() { return core_->shutdownEvent; }

  // Sends all of `bytes`, waiting for room at most the idle time-out each
  // time. False when the peer is gone, the wait ran out, or the engine stops.
  // `more` says further bytes follow at once (a head before its body): the
  // kernel then joins them into one segment instead of letting the second
  // send wait for the peer's delayed acknowledgement.
  bool sendAll(std::string_view bytes, bool more = false);
  // Sends `length` bytes of an open file from `offset`, `window` bytes at a
  // time, under the same rules. False also when the file turns out shorter.
  bool sendFile(int file, std::uint64_t offset, std::uint64_t length, std::size_t window);

 private:
  std::shared_ptr<EngineCore> core_;
  platform::UniqueFd socket_;
  platform::Ipv4 peer_ = 0;
};

class HttpEngine {
 public:
  explicit HttpEngine(HttpEngineSettings settings);
  ~HttpEngine();
  HttpEngine(const HttpEngine&) = delete;
  HttpEngine& operator=(const HttpEngine&) = delete;

  // Opens the listeners and starts their accept threads; failures are
  // printed and leave that listener closed.
  void startListening();
  platform::Event& shutdownEvent() { return core_->shutdownEvent; }
  std::uint32_t startTime() const { return core_->startTime; }
  const EngineCore& core() const { return *core_; }
  // The ports the open listeners were bound to (useful with port 0).
  const std::vector<std::uint16_t>& listeningPorts() const { return ports_; }

 private:
  std::shared_ptr<EngineCore> core_;
  std::vector<std::thread> acceptThreads_;
  std::vector<std::uint16_t> ports_;
};

// The worker of one accepted connection; runs until the connection ends.
void connectionWorker(std::shared_ptr<EngineCore> core, platform::UniqueFd socket,
                      platform::Ipv4 peer = 0);

}  // namespace engine
