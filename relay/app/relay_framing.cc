#include "relay/app/relay_framing.h"

#include "engine/compression.h"
#include "engine/response_writer.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "relay/upnp/event_notify.h"
#include "relay/upnp/gena.h"

namespace relay {
namespace {

using engine::HttpRequest;
using engine::Response;

constexpr char kXmlType[] = "Content-Type: text/xml; charset=UTF-8\r\n";
constexpr char kHtmlType[] = "Content-Type: text/html; charset=UTF-8\r\n";
constexpr char kLanguageLine[] = "Content-Language: en\r\n";

const char* statusOf(ErrorRow row) {
  switch (row) {
    case ErrorRow::NotAcceptable:
      return "406 Not Acceptable";
    case ErrorRow::InternalError:
      return "500 Internal Server Error";
    case ErrorRow::NotImplemented:
      return "501 Not Implemented";
    case ErrorRow::PreconditionFailed:
      return "412 Precondition Failed";
    case ErrorRow::BadRequest:
      break;
  }
  return "400 Bad Request";
}

// The error rows always say HTTP/1.1, carry no body and close.
Response errorAnswer(ErrorRow row) {
  Response out;
  out.version = "1.1";
  out.status = statusOf(row);
  out.connectionLines = false;
  out.close = true;
  return out;
}

}  // namespace

Response streamHead() {
  Response out;
  out.version = "1.1";
  out.status = "200 OK";
  out.counted = false;
  out.connectionLines = false;
  return out;
}

Response silentStreamHead() {
  return errorAnswer(ErrorRow::InternalError);
}

RelayFraming::RelayFraming(RelayFramingSettings settings, std::uint32_t startTime)
    : settings_(std::move(settings)) {
  if (!settings_.subscriptions) settings_.subscriptions = std::make_shared<SubscriptionTable>();
  for (const std::string& text : settings_.documents) {
    CompressedDocument document;
    document.text = text;
    document.deflate = engine::compressBody(false, text, engine::kDocumentLevel, startTime);
    document.gzip = engine::compressBody(true, text, engine::kDocumentLevel, startTime);
    documents_.push_back(std::move(document));
  }
}

bool RelayFraming::answer(engine::HttpConnection& connection, const HttpRequest& request,
                          RelayRequest& relayRequest) const {
  Response out;
  out.status = "200 OK";
  const std::string languageLine = request.acceptLanguage ? kLanguageLine : "";
  switch (relayRequest.kind) {
    case RelayKind::Document: {
      if (relayRequest.document >= documents_.size()) {
        return engine::writeResponse(connection, request, errorAnswer(ErrorRow::BadRequest));
      }
      const CompressedDocument& document = documents_[relayRequest.document];
      out.fields = kXmlType;
      out.body = document.text;
      if (request.coding == engine::kGzip) {
        out.body = document.gzip;
        out.bodyCoding = engine::kGzip;
      } else if (request.coding == engine::kDeflate) {
        out.body = document.deflate;
        out.bodyCoding = engine::kDeflate;
      }
      out.trailer = languageLine;
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::GeneratedText: {
      const std::string text = settings_.logText ? settings_.logText() : std::string();
      out.fields = kHtmlType;
      out.body = text;
      out.trailer = languageLine;
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::Soap: {
      int result = -1;
      std::string body;
      if (settings_.soapResponder) result = settings_.soapResponder(relayRequest.soap, body);
      if (result != 0) out.status = "500 Internal Server Error";
      out.fields = kXmlType;
      out.body = body;
      out.compress = true;
      out.afterLength =
          "Server: " + connection.settings().serverToken + " UPnP/1.0 UPnP-Device-Host/1.0\r\n";
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::Stream:
      // Only the stream sender answers a stream; without it the request ends.
      if (settings_.stream) settings_.stream(connection, request, relayRequest.stream);
      return false;
    case RelayKind::Subscription:
      return answerSubscription(connection, request, relayRequest.subscription);
    case RelayKind::Unsubscribe:
      // The answer is the same whether the SID was known or not.
      if (const std::string* sid = request.header("SID")) {
        settings_.subscriptions->remove(*sid, request.url);
      }
      // The connection stays open: the empty body's length is said, or an
      // HTTP/1.1 client waits for one until the idle close.
      out.version = "1.1";
      out.connectionLines = false;
      return engine::writeResponse(connection, request, out);
    case RelayKind::Quit:
      // Nothing is sent; the connection closes and the relay stops.
      if (settings_.quitEvent) settings_.quitEvent->set();
      return false;
    case RelayKind::Error:
      break;
  }
  return engine::writeResponse(connection, request, errorAnswer(relayRequest.errorRow));
}

bool RelayFraming::answerSubscription(engine::HttpConnection& connection,
                                      const HttpRequest& request,
                                      const SubscribeDecision& decision) const {
  SubscriptionTable& table = *settings_.subscriptions;
  const std::int64_t now = platform::monotonicMs();
  const bool renewal = !decision.renewalSid.empty();
  std::string sid = decision.renewalSid;
  if (!renewal) {
    sid = table.add(request.url, decision.seconds, now);
  } else if (!table.renew(sid, request.url, decision.seconds, now)) {
    return engine::writeResponse(connection, request, errorAnswer(ErrorRow::PreconditionFailed));
  }
  const bool keep = engine::writeResponse(
      connection, request,
      subscriptionAnswer(connection.settings().serverToken, sid, decision.seconds));

  // The subscriber has its SID before the event that names it arrives.
  if (renewal) return keep;
  const auto body = settings_.initialEvents.find(request.url);
  if (body == settings_.initialEvents.end()) return keep;
  platform::Ipv4 peer = 0;
  std::uint16_t peerPort = 0;
  if (platform::peerAddressOf(connection.fd(), peer, peerPort) != 0) peer = 0;
  if (const std::optional<EventCallback> callback = eventCallback(decision.callback, peer)) {
    sendInitialEvent(*callback, initialEventMessage(*callback, sid, body->second),
                     connection.shutdownEvent());
  }
  return keep;
}

engine::RequestHandler relayRequestHandler(RelayRoutes routes,
                                           std::shared_ptr<const RelayFraming> framing) {
  return [routes = std::move(routes), framing = std::move(framing)](
             engine::HttpConnection& connection, HttpRequest& request) {
    RelayRequest relayRequest = classifyRelayRequest(request, routes);
    return framing->answer(connection, request, relayRequest);
  };
}

}  // namespace relay
