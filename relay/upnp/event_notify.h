// Events: right after granting a new subscription, the relay sends the
// subscriber one NOTIFY (SEQ 0) with the service's evented state variables,
// as UPnP eventing has a device do; a reload that changes the channel list
// sends every ContentDirectory subscriber the new SystemUpdateID (SEQ 1, 2,
// ...), so that TVs browse again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/event.h"
#include "platform/socket.h"
#include "relay/upnp/control_handler.h"

namespace relay {

struct EventCallback {
  platform::Ipv4 address = 0;
  std::uint16_t port = 80;
  std::string host;  // as the URL writes it: the address, and the port if given
  std::string path;  // with the query; "/" at least
};

// The first http URL of a CALLBACK value ("<http://...>" one or more times)
// whose host is the literal IPv4 address `peer`, the subscriber's own.
// Nothing when there is none: a URL naming any other host is never
// contacted, or any LAN host could have the relay connect anywhere.
std::optional<EventCallback> eventCallback(std::string_view callback, platform::Ipv4 peer);

// The property set of `service`'s evented state variables (those the
// service description marks sendEvents="yes"), each with the value the
// action that reads it answers, as sent there; empty for any other service.
std::string eventBody(const ControlHandler& control, std::uint32_t service);

// The whole NOTIFY for subscription `sid` ("uuid:...").
std::string eventMessage(const EventCallback& to, std::string_view sid, std::uint32_t seq,
                         std::string_view body);

// Connects to `to`, sends `message`, and gives the subscriber a moment to
// answer before closing. Each step is short and `stop` ends it; a callback
// that is refused, unreachable or silent is dropped without a word: the
// subscription stands without its event.
void sendEvent(const EventCallback& to, std::string_view message, platform::Event& stop);

struct EventDelivery {
  EventCallback to;
  std::string message;
};
// Sends every event at once, each as sendEvent does: the whole takes as
// long as the slowest subscriber's steps, never their sum.
void sendEvents(std::span<const EventDelivery> deliveries, platform::Event& stop);

}  // namespace relay
