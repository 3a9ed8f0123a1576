// Event subscriptions: which SUBSCRIBE requests are accepted, for how long,
// and the answer they get. The subscriptions themselves are kept in a
// SubscriptionTable; the one event ever sent is the initial one
// (event_notify.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/http_request.h"
#include "engine/response_writer.h"

namespace relay {

// The time a subscription is granted: what was asked for, within these
// bounds. Control points schedule their renewals from the granted figure,
// and some overflow their timers on very long ones (then renew without
// pause); a short one would have them renew all the time.
inline constexpr std::uint32_t kShortestSubscriptionSeconds = 60;
inline constexpr std::uint32_t kLongestSubscriptionSeconds = 1800;

// The answer a SUBSCRIBE that is not accepted gets.
enum class SubscribeRefusal {
  NotAcceptable,   // 406: the event URLs
  InternalError,   // 500: the control URLs
  NotImplemented,  // 501: anything else
  BadRequest,      // 400: a renewal that also carries NT or CALLBACK
};

struct SubscribeDecision {
  bool accepted = false;
  SubscribeRefusal refusal = SubscribeRefusal::NotImplemented;
  // For an accepted request: the SID a renewal names (empty for a new
  // subscription), the time to grant, and the CALLBACK value as sent.
  std::string renewalSid;
  std::uint32_t seconds = kLongestSubscriptionSeconds;
  std::string callback;
};

// Whether a SUBSCRIBE request (its header list filled) is accepted, and
// what it asks for. A renewal is a SUBSCRIBE with SID and without NT and
// CALLBACK.
SubscribeDecision subscribe(const engine::HttpRequest& request);

// The seconds granted for a TIMEOUT value ("Second-300"; nullptr when the
// header is missing): the asked time within the bounds; the longest for
// "Second-infinite", a missing header or anything unreadable.
std::uint32_t grantedSeconds(const std::string* timeout);

// The answer to an accepted SUBSCRIBE: `sid` ("uuid:..."), granted for
// `seconds`.
engine::Response subscriptionAnswer(std::string_view serverToken, std::string_view sid,
                                    std::uint32_t seconds);

}  // namespace relay
