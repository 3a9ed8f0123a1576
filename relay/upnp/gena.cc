#include "relay/upnp/gena.h"

#include <algorithm>

#include "common/text.h"

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
  const std::string* sid = nullptr;
  const std::string* callback = nullptr;
  bool nt = false;
  for (std::size_t i = 1; i < request.headers.size(); ++i) {
    const engine::HeaderField& field = request.headers[i];
    if (field.name == "NT") {
      nt = true;
      if (field.value == "upnp:event" || field.value == "upnp:control") decision.accepted = true;
    } else if (field.name == "SID") {
      if (sid == nullptr) sid = &field.value;
      decision.accepted = true;
    } else if (field.name == "CALLBACK") {
      if (callback == nullptr) callback = &field.value;
    }
  }
  if (sid != nullptr && (nt || callback != nullptr)) {
    // A renewal says which subscription it renews, and nothing about a
    // new one.
    decision.accepted = false;
    decision.refusal = SubscribeRefusal::BadRequest;
  }
  if (!decision.accepted) return decision;
  if (sid != nullptr) decision.renewalSid = *sid;
  if (callback != nullptr) decision.callback = *callback;
  decision.seconds = grantedSeconds(request.header("TIMEOUT"));
  return decision;
}

std::uint32_t grantedSeconds(const std::string* timeout) {
  constexpr std::string_view kPrefix = "second-";
  if (timeout == nullptr || timeout->size() <= kPrefix.size() ||
      !common::equalsIgnoreCaseAscii(std::string_view(*timeout).substr(0, kPrefix.size()),
                                     kPrefix)) {
    return kLongestSubscriptionSeconds;
  }
  const std::string_view digits = std::string_view(*timeout).substr(kPrefix.size());
  std::uint32_t seconds = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return kLongestSubscriptionSeconds;  // "infinite" too
    // Past the longest, the rest of the digits only make it longer.
    seconds = std::min<std::uint32_t>(seconds * 10 + std::uint32_t(c - '0'),
                                      kLongestSubscriptionSeconds + 1);
  }
  return std::clamp(seconds, kShortestSubscriptionSeconds, kLongestSubscriptionSeconds);
}

engine::Response subscriptionAnswer(std::string_view serverToken, std::string_view sid,
                                    std::uint32_t seconds) {
  engine::Response answer;
  answer.version = "1.1";
  answer.status = "200 OK";
  answer.fields = "SERVER: ";
  answer.fields += serverToken;
  answer.fields += " UPnP/1.0 UPnP-Device-Host/1.0\r\nTIMEOUT: Second-";
  answer.fields += std::to_string(seconds);
  answer.fields += "\r\nSID: ";
  answer.fields += sid;
  answer.fields += "\r\nCONTENT-LENGTH: 0\r\n";
  answer.counted = false;
  answer.connectionLines = false;
  return answer;
}

}  // namespace relay
