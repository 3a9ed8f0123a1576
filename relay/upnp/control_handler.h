// The answers to the ContentDirectory and ConnectionManager actions, over
// the loaded playlist: a root container, one container per group and one
// video item per channel, as DIDL-Lite inside the SOAP response.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/http_request.h"
#include "relay/upnp/channel_list.h"
#include "relay/upnp/soap_scanner.h"

namespace relay {

namespace soapservice {
inline constexpr std::uint32_t kUnknown = 0;
inline constexpr std::uint32_t kContentDirectory = 1;
inline constexpr std::uint32_t kConnectionManager = 2;
}  // namespace soapservice

struct SoapAction {
  std::uint32_t service = soapservice::kUnknown;
  std::uint32_t action = 0;
};

// Service and action from a SOAPACTION value; nothing when the value is no
// control request at all (answered 400).
std::optional<SoapAction> classifySoapAction(std::string_view value);

// What a control request asks: the service, its action, and the arguments
// read from the body.
struct SoapCall {
  std::uint32_t service = soapservice::kUnknown;
  std::uint32_t action = 0;
  SoapArguments arguments;
};

// A POST with a SOAPACTION header: service and action from it, and for the
// ContentDirectory the Browse arguments when the envelope passes. Nothing
// for a bad SOAPACTION (answered 400).
std::optional<SoapCall> classifySoapPost(const engine::HttpRequest& request);

// Double quote, &, apostrophe, < and > as entities; every other byte kept.
std::string escapeXml(std::string_view text);

class ControlHandler {
 public:
  // `playlist` may be null (no media server): Browse then faults.
  // `systemUpdateId` is what GetSystemUpdateID and Browse's UpdateID say: a
  // new handler, with a higher number, comes with each new channel list.
  // `describe` gives an item's dc:description (the programme on air); no
  // element when it is unset or gives empty text. With `token` (--token)
  // every item's URL carries it.
  ControlHandler(const ChannelList* playlist, std::string host, std::uint16_t port,
                 std::uint32_t systemUpdateId = 0,
                 std::function<std::string(const Channel&)> describe = {},
                 std::string_view token = {});

  // 0 and the action's response, or a UPnP error code and the fault
  // document. Browse writes NumberReturned and TotalMatches into `arguments`.
  int dispatch(std::uint32_t service, std::uint32_t action, SoapArguments& arguments,
               std::string& body) const;

 private:
  const ChannelList* playlist_;
  std::string host_;
  std::string port_;
  std::uint32_t systemUpdateId_;
  std::function<std::string(const Channel&)> describe_;
  std::string tokenQuery_;
};

}  // namespace relay
