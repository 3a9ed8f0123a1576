#include "engine/response_framing.h"

#include "engine/compression.h"

namespace engine {
namespace {

constexpr char kXmlOk[] = " 200 OK\r\nContent-Type: text/xml; charset=UTF-8\r\n";
constexpr char kHtmlOk[] = " 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n";
constexpr char kXmlFault[] =
    " 500 Internal Server Error\r\nContent-Type: text/xml; charset=UTF-8\r\n";
constexpr char kGzipLine[] = "Content-Encoding: gzip\r\n";
constexpr char kDeflateLine[] = "Content-Encoding: deflate\r\n";
constexpr char kLanguageLine[] = "Content-Language: en\r\n";
constexpr char kRelayErrorRows[][40] = {
    "HTTP/1.1 400 Bad Request\r\n",
    "HTTP/1.1 406 Not Acceptable\r\n",
    "HTTP/1.1 500 Internal Server Error\r\n",
    "HTTP/1.1 501 Not Implemented\r\n",
};
constexpr char kNoContent[] = "Content-Length: 0\r\n\r\n";
constexpr char kUnsubscribed[] = "HTTP/1.1 200 OK\r\n\r\n";

constexpr char kWebPageOk[] = " 200 OK\r\nContent-Type: text/html\r\n";
constexpr char kWebErrorRow[] = "400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

std::string lengthLine(std::size_t length) {
  return "Content-Length: " + std::to_string(length) + "\r\n";
}

// The relay's closing lines of a head.
std::string relayTail(const HttpRequest& request) {
  std::string tail;
  if (request.closeAfter) tail += "Connection: close\r\n";
  if (request.acceptLanguage) tail += kLanguageLine;
  tail += "\r\n";
  return tail;
}

void relayError(FramedResponse& out, std::uint32_t row) {
  if (row > errorrow::kNotImplemented) row = errorrow::kBadRequest;
  out.head = std::string(kRelayErrorRows[row]) + kNoContent;
  out.close = true;
}

FramedResponse frameRelay(const EngineCore& core, HttpRequest& request) {
  FramedResponse out;
  const HttpEngineSettings& settings = core.settings;
  switch (request.kind) {
    case relaykind::kDocument: {
      if (request.target >= core.documents.size()) {
        relayError(out, errorrow::kBadRequest);
        break;
      }
      const CompressedDocument& document = core.documents[request.target];
      out.head = statusStart(request) + kXmlOk;
      out.body = document.text;
      if (request.coding == kGzip) {
        out.head += kGzipLine;
        out.body = document.gzip;
      } else if (request.coding == kDeflate) {
        out.head += kDeflateLine;
        out.body = document.deflate;
      }
      out.head += lengthLine(out.body.size()) + relayTail(request);
      break;
    }
    case relaykind::kGeneratedText:
      if (settings.generatedText) out.ownedBody = settings.generatedText(request.target);
      out.body = out.ownedBody;
      out.head = statusStart(request) + kHtmlOk + lengthLine(out.body.size()) + relayTail(request);
      break;
    case relaykind::kSoap: {
      int result = -1;
      std::string body;
      if (settings.soapResponder) result = settings.soapResponder(request, body);
      out.head = statusStart(request) + (result == 0 ? kXmlOk : kXmlFault);
      out.ownedBody = std::move(body);
      out.body =
          codeBody(out.head, out.ownedBody, request.coding, true, core.startTime, out.ownedBody);
      out.head += "Server: " + settings.serverToken +
                  " UPnP/1.0 UPnP-Device-Host/1.0\r\n";
      if (request.closeAfter) out.head += "Connection: close\r\n";
      out.head += "\r\n";
      break;
    }
    case relaykind::kStream:
      // Only the stream sender answers a stream; without it the request ends.
      out.close = true;
      break;
    case relaykind::kUnsubscribe:
      out.head = kUnsubscribed;
      break;
    case relaykind::kQuit:
      out.quit = true;
      out.close = true;
      break;
    case relaykind::kError:
      relayError(out, request.target);
      break;
    default:
      relayError(out, errorrow::kBadRequest);
      break;
  }
  return out;
}

FramedResponse frameWeb(const EngineCore& core, HttpRequest& request) {
  FramedResponse out;
  if (request.kind == webkind::kPage) {
    out.head = statusStart(request) + kWebPageOk;
    out.ownedBody = request.bodyText;
    out.body = codeBody(out.head, out.ownedBody, request.coding, core.settings.compressionEnabled,
                        core.startTime, out.ownedBody);
    out.head += webConnectionLines(request, core.settings.idleTimeoutMs);
    if (request.acceptLanguage) out.head += kLanguageLine;
    out.head += "\r\n";
    return out;
  }
  out.head = statusStart(request) + " " + kWebErrorRow;
  out.close = true;
  return out;
}

}  // namespace

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
  return core.settings.variant == Variant::Relay ? frameRelay(core, request)
                                                 : frameWeb(core, request);
}

}  // namespace engine
