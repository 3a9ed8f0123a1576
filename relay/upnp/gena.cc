#include "relay/upnp/gena.h"

#include <cstdint>

#include "platform/uuid.h"

namespace relay {
namespace {

// Which refusal an unacceptable SUBSCRIBE gets, by target.
SubscribeRefusal refusalFor(std::string_view target) {
  if (target == "/upnp/event/cm" || target == "/upnp/event/cds") {
    return SubscribeRefusal::NotAcceptable;
  }
  if (target == "/upnp/control/cm" || target == "/upnp/control/cds") {
    return SubscribeRefusal::InternalError;
  }
  return SubscribeRefusal::NotImplemented;
}

}  // namespace

SubscribeDecision subscribe(const engine::HttpRequest& request) {
  SubscribeDecision decision;
  decision.refusal = refusalFor(request.url);
  // An NT of upnp:event or upnp:control, or any SID, makes it acceptable.
  for (std::size_t i = 1; i < request.headers.size(); ++i) {
    const engine::HeaderField& field = request.headers[i];
    if (field.name == "NT") {
      if (field.value == "upnp:event" || field.value == "upnp:control") decision.accepted = true;
    } else if (field.name == "SID") {
      decision.accepted = true;
    }
  }
  return decision;
}

engine::Response subscriptionAnswer(std::string_view serverToken) {
  engine::Response answer;
  answer.version = "1.1";
  answer.status = "200 OK";
  answer.fields = "SERVER: ";
  answer.fields += serverToken;
  answer.fields += " UPnP/1.0 UPnP-Device-Host/1.0\r\nTIMEOUT: Second-2147483647\r\nSID: uuid:";
  answer.fields += platform::newTimeUuid();
  answer.fields += "\r\nCONTENT-LENGTH: 0\r\n";
  answer.counted = false;
  answer.connectionLines = false;
  return answer;
}

}  // namespace relay
