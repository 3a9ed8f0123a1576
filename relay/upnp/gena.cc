#include "relay/upnp/gena.h"

#include <cstdint>

#include "platform/uuid.h"

namespace relay {
namespace {

// Which error an unacceptable SUBSCRIBE gets, by target; also what a SID
// header makes of the acceptance (always non-zero).
std::uint32_t targetIndex(std::string_view target) {
  if (target == "/upnp/event/cm" || target == "/upnp/event/cds") {
    return engine::errorrow::kNotAcceptable;
  }
  if (target == "/upnp/control/cm" || target == "/upnp/control/cds") {
    return engine::errorrow::kInternalError;
  }
  return engine::errorrow::kNotImplemented;
}

}  // namespace

void subscribe(engine::HttpRequest& request) {
  std::string_view target;
  if (!request.headers.empty()) {
    target = request.headers[0].value;
    const std::size_t http = target.rfind(" HTTP");
    if (http != std::string_view::npos) target = target.substr(0, http);
  }
  const std::uint32_t index = targetIndex(target);

  std::uint32_t acceptance = 0;
  for (std::size_t i = 1; i < request.headers.size(); ++i) {
    const engine::HeaderField& field = request.headers[i];
    if (field.name == "NT") {
      if (field.value == "upnp:event") acceptance = 1;
      if (field.value == "upnp:control") acceptance = 2;
    } else if (field.name == "SID") {
      acceptance = index;
    }
  }
  request.kind = acceptance != 0 ? engine::relaykind::kSubscription : engine::relaykind::kError;
  request.target = index;
}

std::string subscriptionAnswer(std::string_view serverToken) {
  std::string answer = "HTTP/1.1 200 OK\r\nSERVER: ";
  answer += serverToken;
  answer += " UPnP/1.0 UPnP-Device-Host/1.0\r\nTIMEOUT: Second-2147483647\r\nSID: uuid:";
  answer += platform::newTimeUuid();
  answer += "\r\nCONTENT-LENGTH: 0\r\n\r\n";
  return answer;
}

}  // namespace relay
