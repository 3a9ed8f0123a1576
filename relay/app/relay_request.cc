#include "relay/app/relay_request.h"

#include "relay/upnp/gena.h"

namespace relay {
namespace {

ErrorRow rowFor(SubscribeRefusal refusal) {
  switch (refusal) {
    case SubscribeRefusal::NotAcceptable:
      return ErrorRow::NotAcceptable;
    case SubscribeRefusal::InternalError:
      return ErrorRow::InternalError;
    case SubscribeRefusal::BadRequest:
      return ErrorRow::BadRequest;
    case SubscribeRefusal::NotImplemented:
      break;
  }
  return ErrorRow::NotImplemented;
}

}  // namespace

RelayRequest classifyRelayRequest(const engine::HttpRequest& request, const RelayRoutes& routes) {
  RelayRequest out;
  if (request.malformed) return out;
  if (request.coding == engine::kNothingAcceptable) out.errorRow = ErrorRow::NotAcceptable;
  if (!request.hasUrl) return out;

  // A HEAD asks for what a GET gets, without the body.
  if (request.method == "GET" || request.method == "HEAD") {
    if (routes.get) routes.get(request.url, out);
  } else if (request.method == "POST") {
    if (routes.mediaServer && request.header("SOAPACTION")) {
      if (std::optional<SoapCall> call = classifySoapPost(request)) {
        out.kind = RelayKind::Soap;
        out.soap = std::move(*call);
      } else {
        out.errorRow = ErrorRow::BadRequest;
      }
    } else if (std::string_view(request.url).substr(0, request.url.find('?')) == "/lineup.post") {
      // A media center's "scan": the lineup is always there.
      out.kind = RelayKind::Tuner;
      out.tunerView = TunerView::LineupPost;
    }
  } else if (request.method == "SUBSCRIBE") {
    SubscribeDecision decision = subscribe(request);
    if (decision.accepted) {
      out.kind = RelayKind::Subscription;
      out.subscription = std::move(decision);
    } else {
      out.errorRow = rowFor(decision.refusal);
    }
  } else if (request.method == "UNSUBSCRIBE") {
    out.kind = RelayKind::Unsubscribe;
  }
  return out;
}

}  // namespace relay
