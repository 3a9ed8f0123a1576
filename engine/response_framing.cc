#include "engine/response_framing.h"

namespace engine {

std::string statusStart(const HttpRequest& request) {
  return std::string("HTTP/") + versionText(request.versionIndex);
}

std::string webConnectionLines(const HttpRequest& request, int idleTimeoutMs) {
  if (request.closeAfter) return "Connection: Close\r\n";
  return "Connection: Keep-Alive\r\nKeep-Alive: timeout=" + std::to_string(idleTimeoutMs / 1000) +
         "\r\n";
}

FramedResponse frameResponse(const EngineCore& core, HttpRequest& request) {
  const auto handoff = core.settings.handoffs.find(request.kind);
  if (handoff != core.settings.handoffs.end()) {
    FramedResponse out;
    out.handoff = &handoff->second;
    return out;
  }
  if (core.settings.framing) return core.settings.framing(core, request);
  // A program that frames nothing answers nothing: the connection closes.
  FramedResponse out;
  out.close = true;
  return out;
}

}  // namespace engine
