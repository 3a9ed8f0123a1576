// One collected request through the engine as a connection worker takes it:
// the completeness check, the parse with each program's real handlers, and
// the framing of whatever the handlers chose. The first byte picks the
// program; the rest is the request.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "engine/http_engine.h"
#include "engine/request_collector.h"
#include "engine/request_parser.h"
#include "engine/response_framing.h"
#include "fuzz_playlist.h"
#include "relay/app/relay_log.h"
#include "relay/app/url_routing.h"
#include "relay/app/relay_framing.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/descriptions.h"
#include "relay/upnp/gena.h"
#include "web/web_entry.h"

namespace {

engine::HttpEngine& webEngine() {
  static engine::HttpEngine* engine = [] {
    web::WebOptions options;
    options.servePath = "/nonexistent/www/";
    options.rootDocument = "index.html";
    options.phpPath = "/nonexistent/";
    options.listenInterface = "127.0.0.1";
    return new engine::HttpEngine(web::webServerSettings(options, 8080));
  }();
  return *engine;
}

relay::RelayLog& fuzzLog() {
  static relay::RelayLog* log = new relay::RelayLog;
  return *log;
}

engine::HttpEngine& relayEngine() {
  static engine::HttpEngine* engine = [] {
    engine::HttpEngineSettings settings = engine::relayEngineSettings(0, 2901);
    settings.serverToken = "Linux/6.1";
    relay::RelayFramingSettings framing;
    framing.documents = relay::builtInDocuments();
    settings.handler.get = [](std::string_view url, engine::HttpRequest& request) {
      relay::resolveUrl(url, request, relay::kStreamPathToken, fuzzLog());
    };
    settings.handler.subscribe = [](engine::HttpRequest& request) { relay::subscribe(request); };
    settings.handler.soapPost = [](engine::HttpRequest& request, std::size_t index) {
      relay::classifySoapPost(request, index);
    };
    framing.generatedText = [](std::uint32_t target) {
      return target == 1 ? fuzzLog().logText() : std::string();
    };
    auto control =
        std::make_shared<relay::ControlHandler>(&fuzzing::fixedPlaylist(), "192.168.0.2", 2901);
    framing.soapResponder = [control](const engine::HttpRequest& request, std::string& body) {
      engine::SoapArguments arguments = request.soapArguments;
      return control->dispatch(request.target, request.action, arguments, body);
    };
    settings.framing = relay::relayFraming(std::move(framing), 1700000000);
    return new engine::HttpEngine(std::move(settings));
  }();
  return *engine;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Stream requests print a console line each; keep the fuzzer's output
  // readable (its own lines go to standard error).
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);
  webEngine();
  relayEngine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const engine::Variant variant = data[0] & 1 ? engine::Variant::Relay : engine::Variant::Web;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  engine::HttpEngine& engine = variant == engine::Variant::Web ? webEngine() : relayEngine();

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
  engine::parseRequest(bytes, request, variant, engine.core().settings.handler);

  // The header list is the request line, header lines, then the body.
  if (request.headers.empty()) std::abort();
  if (request.bodyIndex != 0 && (request.bodyIndex != request.headers.size() - 1 ||
                                 !request.headers[request.bodyIndex].name.empty())) {
    std::abort();
  }
  if (variant == engine::Variant::Web) {
    if (request.kind < engine::webkind::kPage || request.kind > engine::webkind::kError) {
      std::abort();
    }
  } else if (request.kind < engine::relaykind::kDocument ||
             request.kind > engine::relaykind::kError) {
    std::abort();
  }

  const engine::FramedResponse response = engine::frameResponse(engine.core(), request);
  // Every relay answer has a head ending in a blank line, but for the quit
  // and a stream, which send none.
  if (response.handoff == nullptr && variant == engine::Variant::Relay &&
      request.kind != engine::relaykind::kStream && request.kind != engine::relaykind::kQuit &&
      !response.head.ends_with("\r\n\r\n")) {
    std::abort();
  }
  return 0;
}
