// One collected request through the engine as a connection worker takes it:
// the completeness check, the parse, each program's real classification,
// and the answer written on a connection (a socket pair) for every kind but
// the two that hand off to the network (a stream) or stop the program (the
// quit command). The first byte picks the program; the rest is the request.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "engine/http_engine.h"
#include "engine/request_collector.h"
#include "engine/request_parser.h"
#include "fuzz_playlist.h"
#include "relay/app/relay_entry.h"
#include "relay/app/relay_framing.h"
#include "relay/app/relay_log.h"
#include "relay/app/url_routing.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/descriptions.h"
#include "relay/upnp/event_notify.h"
#include "web/web_entry.h"
#include "web/web_request.h"

namespace {

struct Program {
  std::shared_ptr<engine::EngineCore> core = std::make_shared<engine::EngineCore>();
};

const web::SiteSettings& site() {
  static const web::SiteSettings* settings = [] {
    auto* s = new web::SiteSettings;
    s->servePath = "/nonexistent/www/";
    s->rootDocument = "index.html";
    s->phpCgiPath = "/nonexistent/php-cgi";
    return s;
  }();
  return *settings;
}

Program& webProgram() {
  static Program* program = [] {
    auto* p = new Program;
    p->core->settings = web::webEngineSettings(platform::parseIpv4("127.0.0.1"), 8080);
    return p;
  }();
  return *program;
}

relay::RelayLog& fuzzLog() {
  static relay::RelayLog* log = new relay::RelayLog;
  return *log;
}

const relay::RelayRoutes& relayRoutes() {
  static const relay::RelayRoutes* routes = [] {
    auto* r = new relay::RelayRoutes;
    r->get = [](std::string_view url, relay::RelayRequest& request) {
      relay::resolveUrl(url, request, relay::kStreamPathToken, fuzzLog());
    };
    r->mediaServer = true;
    return r;
  }();
  return *routes;
}

const relay::RelayFraming& relayFraming() {
  static const relay::RelayFraming* framing = [] {
    relay::RelayFramingSettings settings;
    settings.documents = relay::builtInDocuments();
    settings.logText = [] { return fuzzLog().logText(); };
    auto control =
        std::make_shared<relay::ControlHandler>(&fuzzing::fixedPlaylist(), "192.168.0.2", 2901);
    settings.soapResponder = [control](relay::SoapCall& call, std::string& body) {
      return control->dispatch(call.service, call.action, call.arguments, body);
    };
    // The callback is read; the socket pair's peer is no IPv4 host, so no
    // event is ever sent.
    settings.initialEvent = [control](std::string_view) {
      return relay::eventBody(*control, relay::soapservice::kContentDirectory);
    };
    return new relay::RelayFraming(std::move(settings), 1700000000);
  }();
  return *framing;
}

Program& relayProgram() {
  static Program* program = [] {
    auto* p = new Program;
    p->core->settings = relay::relayEngineSettings(0, 2901);
    p->core->settings.serverToken = "Linux/6.1";
    return p;
  }();
  return *program;
}

// What the connection's peer received, at most what the socket held.
std::string drain(int fd) {
  std::string bytes;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) return bytes;
    bytes.append(chunk, std::size_t(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Stream requests print a console line each; keep the fuzzer's output
  // readable (its own lines go to standard error).
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);
  webProgram();
  relayProgram();
  relayRoutes();
  relayFraming();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool relayChosen = data[0] & 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  Program& program = relayChosen ? relayProgram() : webProgram();

  engine::HttpRequest request;
  bool malformed = false;
  const bool complete = engine::isComplete(bytes, malformed);
  if (malformed && !complete) std::abort();  // a malformed request is answered at once
  // Arriving in two receives, it gets the answer the whole text gets (unless
  // the first part was already answerable on its own).
  {
    const std::size_t cut = bytes.size() / 2;
    engine::RequestCollector collector;
    if (collector.append(bytes.substr(0, cut)) == engine::RequestCollector::Status::Waiting) {
      const engine::RequestCollector::Status status = collector.append(bytes.substr(cut));
      if ((status != engine::RequestCollector::Status::Waiting) != complete) std::abort();
      if (complete && (status == engine::RequestCollector::Status::Malformed) != malformed) {
        std::abort();
      }
    }
  }
  // The worker parses only complete, well-formed requests; anything else is
  // still parsed here, as a later change to the completeness rule must not
  // expose a parser that trusts it.
  engine::parseRequest(bytes, request, program.core->settings.keepAliveByDefault);

  // The header list is the request line, header lines, then the body.
  if (request.headers.empty()) std::abort();
  if (request.bodyIndex != 0 && (request.bodyIndex != request.headers.size() - 1 ||
                                 !request.headers[request.bodyIndex].name.empty())) {
    std::abort();
  }
  if (malformed) {
    request = engine::HttpRequest{};
    request.malformed = true;
  }

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  platform::UniqueFd peer(pair[1]);
  engine::HttpConnection connection(program.core, platform::UniqueFd(pair[0]));
  if (relayChosen) {
    relay::RelayRequest relayRequest = relay::classifyRelayRequest(request, relayRoutes());
    // A stream joins a group and the quit stops the program: neither runs here.
    if (relayRequest.kind == relay::RelayKind::Stream ||
        relayRequest.kind == relay::RelayKind::Quit) {
      return 0;
    }
    relayFraming().answer(connection, request, relayRequest);
  } else {
    web::WebRequest webRequest = web::classifyWebRequest(request, site());
    web::answerWebRequest(connection, request, webRequest, site());
  }
  // Every answer is a status line and a head ending in a blank line.
  const std::string answer = drain(peer.get());
  if (!answer.starts_with("HTTP/1.") || answer.find("\r\n\r\n") == std::string::npos) {
    std::abort();
  }
  return 0;
}
