#include "relay/app/relay_framing.h"

#include "engine/compression.h"
#include "engine/response_framing.h"

namespace relay {
namespace {

using engine::FramedResponse;
using engine::HttpRequest;

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
  if (row > engine::errorrow::kNotImplemented) row = engine::errorrow::kBadRequest;
  out.head = std::string(kRelayErrorRows[row]) + kNoContent;
  out.close = true;
}

struct CompressedDocument {
  std::string text;
  std::string gzip;
  std::string deflate;
};

struct Framer {
  RelayFramingSettings settings;
  std::vector<CompressedDocument> documents;

  FramedResponse frame(const engine::EngineCore& core, HttpRequest& request) const;
};

FramedResponse Framer::frame(const engine::EngineCore& core, HttpRequest& request) const {
  FramedResponse out;
  switch (request.kind) {
    case engine::relaykind::kDocument: {
      if (request.target >= documents.size()) {
        relayError(out, engine::errorrow::kBadRequest);
        break;
      }
      const CompressedDocument& document = documents[request.target];
      out.head = engine::statusStart(request) + kXmlOk;
      out.body = document.text;
      if (request.coding == engine::kGzip) {
        out.head += kGzipLine;
        out.body = document.gzip;
      } else if (request.coding == engine::kDeflate) {
        out.head += kDeflateLine;
        out.body = document.deflate;
      }
      out.head += lengthLine(out.body.size()) + relayTail(request);
      break;
    }
    case engine::relaykind::kGeneratedText:
      if (settings.generatedText) out.ownedBody = settings.generatedText(request.target);
      out.body = out.ownedBody;
      out.head = engine::statusStart(request) + kHtmlOk + lengthLine(out.body.size()) + relayTail(request);
      break;
    case engine::relaykind::kSoap: {
      int result = -1;
      std::string body;
      if (settings.soapResponder) result = settings.soapResponder(request, body);
      out.head = engine::statusStart(request) + (result == 0 ? kXmlOk : kXmlFault);
      out.ownedBody = std::move(body);
      out.body =
          engine::codeBody(out.head, out.ownedBody, request.coding, true, core.startTime, out.ownedBody);
      out.head += "Server: " + core.settings.serverToken +
                  " UPnP/1.0 UPnP-Device-Host/1.0\r\n";
      if (request.closeAfter) out.head += "Connection: close\r\n";
      out.head += "\r\n";
      break;
    }
    case engine::relaykind::kStream:
      // Only the stream sender answers a stream; without it the request ends.
      out.close = true;
      break;
    case engine::relaykind::kUnsubscribe:
      out.head = kUnsubscribed;
      break;
    case engine::relaykind::kQuit:
      // Nothing is sent; the connection closes and the relay stops.
      if (settings.quitEvent) settings.quitEvent->set();
      out.close = true;
      break;
    case engine::relaykind::kError:
      relayError(out, request.target);
      break;
    default:
      relayError(out, engine::errorrow::kBadRequest);
      break;
  }
  return out;
}

}  // namespace

engine::Framing relayFraming(RelayFramingSettings settings, std::uint32_t startTime) {
  auto framer = std::make_shared<Framer>();
  for (const std::string& text : settings.documents) {
    CompressedDocument document;
    document.text = text;
    document.deflate = engine::compressBody(false, text, engine::kDocumentLevel, startTime);
    document.gzip = engine::compressBody(true, text, engine::kDocumentLevel, startTime);
    framer->documents.push_back(std::move(document));
  }
  framer->settings = std::move(settings);
  return [framer](const engine::EngineCore& core, HttpRequest& request) {
    return framer->frame(core, request);
  };
}

}  // namespace relay
