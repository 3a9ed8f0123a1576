// The response head (and body) for a classified request, for each kind of
// each program.
#pragma once

#include <string>
#include <string_view>

#include "engine/http_engine.h"

namespace engine {

struct FramedResponse {
  std::string head;
  std::string ownedBody;
  std::string_view body;             // ownedBody, or a precompressed document
  bool close = false;                // close once sent, whatever the request asked
  bool quit = false;                 // send nothing, signal the quit event, close
  const Handoff* handoff = nullptr;  // the application answers this one
};

FramedResponse frameResponse(const EngineCore& core, HttpRequest& request);

// "HTTP/1.1" or "HTTP/1.0", as the request asked.
std::string statusStart(const HttpRequest& request);
// The web server's connection lines: close, or keep-alive with the idle
// time-out the connection is held for (in whole seconds).
std::string webConnectionLines(const HttpRequest& request, int idleTimeoutMs);

}  // namespace engine
