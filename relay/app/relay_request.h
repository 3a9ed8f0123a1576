// What a request asks of the relay: its kind and the fields that kind
// uses, classified from the engine's parsed request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/http_request.h"
#include "platform/socket.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/gena.h"

namespace relay {

enum class RelayKind {
  Document,       // a built-in document, by `document`
  GeneratedText,  // the event log
  Status,         // the status page, by `statusView`
  Playlist,       // the relay's channels as an M3U of its own URLs
  Stream,         // a multicast group, by `stream`
  Soap,           // a control request, by `soap`
  Subscription,   // an accepted SUBSCRIBE, by `subscription`
  Unsubscribe,    // by the request's SID
  Quit,
  Guide,  // the programme guide, gzip file or not by `guideGzipFile`
  Tuner,  // the network tuner's documents, by `tunerView`
  Error,  // by `errorRow`
};

// The network tuner's answers other than its streams.
enum class TunerView { Discover, Lineup, LineupStatus, LineupPost };

// The relay's error answers.
enum class ErrorRow {
  BadRequest,
  NotAcceptable,
  InternalError,
  NotImplemented,
  PreconditionFailed,  // a renewal of no subscription the relay holds
  NotFound,            // the guide, while none is loaded; a tuner channel no list has
  TunersInUse,         // every tuner streams already
  Forbidden,           // a command or status page from a host not let in, a missing token
  ClientsBusy,         // --max-clients streams run already (Retry-After)
};

// How the status is shown.
enum class StatusView { Html, Json, Metrics };

struct StreamAddress {
  platform::Ipv4 group = 0;  // network order
  std::uint16_t port = 0;
  // Network order; 0 for any sender, else the one sender to receive from.
  platform::Ipv4 source = 0;
};

struct RelayRequest {
  RelayKind kind = RelayKind::Error;
  ErrorRow errorRow = ErrorRow::BadRequest;
  std::size_t document = 0;
  StreamAddress stream;
  StatusView statusView = StatusView::Html;
  bool guideGzipFile = false;
  TunerView tunerView = TunerView::Discover;
  // A tuner stream ("/auto/vNUMBER"): the number, which names the channel
  // in the list served when it is answered; `stream` is unset.
  std::string tunerNumber;
  SoapCall soap;
  SubscribeDecision subscription;
};

// How GET targets and control requests are classified.
struct RelayRoutes {
  // A GET's target, exactly as sent (resolveUrl).
  std::function<void(std::string_view url, RelayRequest&)> get;
  // A POST with SOAPACTION is a control request only with a playlist loaded.
  bool mediaServer = false;
};

// GET and HEAD through the routes, POST with SOAPACTION as a control request
// and POST /lineup.post (any query) as the tuner's scan request,
// SUBSCRIBE and UNSUBSCRIBE; anything else, a malformed request too, is a
// 400 (a 406 when Accept-Encoding accepts no coding the relay has, unless
// the request is something the relay answers).
RelayRequest classifyRelayRequest(const engine::HttpRequest& request, const RelayRoutes& routes);

}  // namespace relay
