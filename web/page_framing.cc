#include "web/page_framing.h"

#include "engine/compression.h"
#include "engine/response_framing.h"

namespace web {
namespace {

constexpr char kWebPageOk[] = " 200 OK\r\nContent-Type: text/html\r\n";
constexpr char kWebErrorRow[] = "400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr char kLanguageLine[] = "Content-Language: en\r\n";

}  // namespace

engine::FramedResponse framePage(const engine::EngineCore& core, engine::HttpRequest& request) {
  engine::FramedResponse out;
  if (request.kind == engine::webkind::kPage) {
    out.head = engine::statusStart(request) + kWebPageOk;
    out.ownedBody = request.bodyText;
    out.body = engine::codeBody(out.head, out.ownedBody, request.coding,
                                core.settings.compressionEnabled, core.startTime, out.ownedBody);
    out.head += engine::webConnectionLines(request, core.settings.idleTimeoutMs);
    if (request.acceptLanguage) out.head += kLanguageLine;
    out.head += "\r\n";
    return out;
  }
  out.head = engine::statusStart(request) + " " + kWebErrorRow;
  out.close = true;
  return out;
}

}  // namespace web
