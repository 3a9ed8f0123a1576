// Event subscriptions: accepted and answered at once with a fresh
// subscription id and the longest time-out; none is kept and no event is
// ever sent.
#pragma once

#include <string>
#include <string_view>

#include "engine/http_request.h"

namespace relay {

// A SUBSCRIBE request (its header list filled): kind kSubscription when it
// is acceptable, else kind kError with the error row its target selects
// (406 event URLs, 500 control URLs, 501 anything else).
void subscribe(engine::HttpRequest& request);

// The whole answer to an accepted SUBSCRIBE, with a new SID
// (platform::newTimeUuid).
std::string subscriptionAnswer(std::string_view serverToken);

}  // namespace relay
