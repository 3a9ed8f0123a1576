// Event subscriptions: accepted and answered at once with a fresh
// subscription id and the longest time-out; none is kept and no event is
// ever sent.
#pragma once

#include <string_view>

#include "engine/http_request.h"
#include "engine/response_writer.h"

namespace relay {

// The answer a SUBSCRIBE that is not accepted gets, by its target.
enum class SubscribeRefusal {
  NotAcceptable,   // 406: the event URLs
  InternalError,   // 500: the control URLs
  NotImplemented,  // 501: anything else
};

struct SubscribeDecision {
  bool accepted = false;
  SubscribeRefusal refusal = SubscribeRefusal::NotImplemented;
};

// Whether a SUBSCRIBE request (its header list filled) is accepted.
SubscribeDecision subscribe(const engine::HttpRequest& request);

// The answer to an accepted SUBSCRIBE, with a new SID
// (platform::newTimeUuid).
engine::Response subscriptionAnswer(std::string_view serverToken);

}  // namespace relay
