// The HTTP engine both programs share: listening sockets with one accept
// thread each, and one detached worker thread per connection that collects
// requests, has the application classify them, and frames the answers.
//
// The two programs differ only in the settings below. Everything a worker
// uses lives in a shared core, so a worker still finishing after the engine
// was destroyed never touches freed memory; a stop (shutdownEvent) ends
// every accept thread and worker at its next wait.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/http_request.h"
#include "engine/request_parser.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace engine {

class HttpConnection;

struct EngineCore;

// A response produced outside the engine, on the worker thread, writing to
// the connection itself. Returns false when the connection must close.
using Handoff = std::function<bool(HttpConnection&, HttpRequest&)>;

// What a classified request is answered with: a head and a body the worker
// sends, or the hand-off that answers it.
struct FramedResponse {
  std::string head;
  std::string ownedBody;
  std::string_view body;             // ownedBody, or bytes the program keeps
  bool close = false;                // close once sent, whatever the request asked
  const Handoff* handoff = nullptr;  // the application answers this one
};

// The program's answers for the kinds it does not hand off.
using Framing = std::function<FramedResponse(const EngineCore&, HttpRequest&)>;

struct ListenAddress {
  platform::Ipv4 address;  // network order; 0 for every interface
  std::uint16_t port;
};

struct HttpEngineSettings {
  Variant variant = Variant::Relay;
  std::vector<ListenAddress> listeners;
  std::size_t bufferSize = 8192;
  int idleTimeoutMs = 120000;
  // Web server: the "New connection from" line for each accepted connection.
  bool printConnections = false;
  bool compressionEnabled = true;
  std::string serverToken;
  RequestHandler handler;

  // How the program answers: a head and body from `framing`, or, for the
  // kinds listed in `handoffs`, on the connection itself (the relay's streams
  // and subscriptions, the web server's files and PHP pages).
  Framing framing;
  std::map<int, Handoff> handoffs;
};

// Settings of the two programs, before their application fields are added.
HttpEngineSettings relayEngineSettings(platform::Ipv4 listenAddress, std::uint16_t port);
HttpEngineSettings webEngineSettings(platform::Ipv4 listenAddress, std::uint16_t port);

// What workers share with the engine; lives as long as its last user.
struct EngineCore {
  HttpEngineSettings settings;
  std::uint32_t startTime = 0;
  platform::Event shutdownEvent{platform::Event::Reset::Manual};
};

class HttpConnection {
 public:
  HttpConnection(std::shared_ptr<EngineCore> core, platform::UniqueFd socket)
      : core_(std::move(core)), socket_(std::move(socket)) {}

  int fd() const { return socket_.get(); }
  // How long the connection waits for the client, in both directions.
  int idleTimeoutMs() const { return core_->settings.idleTimeoutMs; }
  EngineCore& core() { return *core_; }
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
void connectionWorker(std::shared_ptr<EngineCore> core, platform::UniqueFd socket);

}  // namespace engine
