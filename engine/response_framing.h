// Which answer a classified request gets (the program's hand-off or its
// framing), and the pieces of a head that the programs' framings share.
#pragma once

#include <string>
#include <string_view>

#include "engine/http_engine.h"

namespace engine {

// The hand-off for the request's kind, or the program's framing.
FramedResponse frameResponse(const EngineCore& core, HttpRequest& request);

// "HTTP/1.1" or "HTTP/1.0", as the request asked.
std::string statusStart(const HttpRequest& request);
// The web server's connection lines: close, or keep-alive with the idle
// time-out the connection is held for (in whole seconds).
std::string webConnectionLines(const HttpRequest& request, int idleTimeoutMs);

}  // namespace engine
