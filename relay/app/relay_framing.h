// The relay's answer for each kind of request: the built-in documents
// (precompressed once), the log, control answers, subscriptions with their
// initial event, the unsubscribe answer, the quit command, the error rows,
// and streams through their hand-off. Every head goes through the engine's
// response writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/http_engine.h"
#include "engine/response_writer.h"
#include "platform/address_list.h"
#include "platform/event.h"
#include "relay/app/relay_request.h"
#include "relay/app/status_page.h"
#include "relay/upnp/guide.h"
#include "relay/upnp/playlist_export.h"
#include "relay/upnp/subscription_table.h"

namespace relay {

// The lines a DLNA player looks for in a stream head, from what follows
// "http-get:*:" in the playlist's protocolInfo: its MIME type (video/mpeg
// when there is none) and its fourth field (a live channel's when it is "*").
std::string dlnaStreamFields(std::string_view protocolInfo);

// A loaded guide as it is served, built once per load: apps poll it often.
struct GuideDocument {
  // The schedules, for what is on air (its `xml` moved to the field below).
  Guide programmes;
  std::string xml;
  std::string gzip;  // also the body of /epg.xml.gz
  std::string deflate;
  std::int64_t loadedAt = 0;  // Unix seconds, the Last-Modified time
  std::string lastModified;   // loadedAt as an HTTP-date
};
std::shared_ptr<const GuideDocument> makeGuideDocument(Guide guide, std::int64_t loadedAt);

// "Sun, 06 Nov 1994 08:49:37 GMT", the only form the relay writes.
std::string httpDate(std::int64_t unixSeconds);
// The three forms HTTP allows (IMF-fixdate, RFC 850, asctime); nothing for
// any other text, which a conditional request then ignores.
std::optional<std::int64_t> parseHttpDate(std::string_view text);

// Answers a stream request on the connection for the stream's whole life,
// starting with `head` once data flows.
using StreamHandoff = std::function<void(engine::HttpConnection&, const engine::HttpRequest&,
                                         const StreamAddress&, const engine::Response& head)>;

struct RelayFramingSettings {
  // By `document` of a document request.
  std::vector<std::string> documents;
  // The text of the log.
  std::function<std::string()> logText;
  // The status in one of its views, with the refusals counted so far;
  // without it the status URLs are 400.
  std::function<std::string(StatusView, const RefusalCounts&)> status;
  // Hosts that may quit, read the log and the status pages; empty: every
  // host. Others get 403.
  platform::AddressList adminAllow;
  // What stream, playlist and guide requests must carry (requestCarriesToken);
  // empty: nothing. Without it 403.
  std::string token;
  // Streams running at once, tuner streams among them; one more is 503 with
  // Retry-After. 0: no bound.
  std::uint32_t maxClients = 0;
  // The relay's playlist, its URLs naming `host` ("address:port", where the
  // client reached the relay); without it /playlist.m3u is 400.
  std::function<std::shared_ptr<const PlaylistAnswer>(std::string_view host)> playlist;
  // A control answer's body; 0 for success, else the body is a fault.
  std::function<int(SoapCall&, std::string& body)> soapResponder;
  // Set by the quit command.
  std::shared_ptr<platform::Event> quitEvent;
  // Without it a stream request just ends.
  StreamHandoff stream;
  // The stream head's lines for players that ask for them (dlnaStreamFields).
  std::string streamFields = dlnaStreamFields("");
  // The subscriptions granted; without it the framing keeps its own.
  std::shared_ptr<SubscriptionTable> subscriptions;
  // By event URL: the body of the initial event a new subscriber there
  // gets, as things stand now; empty, or unset: none.
  std::function<std::string(std::string_view url)> initialEvent;
  // The guide loaded now; without one (or while it gives none) the guide
  // URLs are 404.
  std::function<std::shared_ptr<const GuideDocument>()> guide;
  // The network tuner: its JSON documents, with URLs under `base`
  // ("http://address:port"), and the group (with its source, if any) of
  // the channel a tuner URL names in the list served now (nothing: 404). Without them the tuner's
  // URLs are 400. At most `tunerCount` tuner streams run at once; one more
  // is 503.
  std::function<std::string(TunerView, std::string_view base)> tunerDocument;
  std::function<std::optional<StreamAddress>(std::string_view number)> tunerChannel;
  int tunerCount = 0;
};

// One place among `count` (a tuner, a client's stream) taken from `inUse`
// for as long as the lease lives. The place is reserved before the stream
// starts, so two requests never both take the last one.
class StreamLease {
 public:
  // Nothing when `inUse` has reached `count` already.
  static std::optional<StreamLease> take(std::atomic<int>& inUse, int count);
  StreamLease(StreamLease&& other) noexcept : inUse_(std::exchange(other.inUse_, nullptr)) {}
  StreamLease& operator=(StreamLease&& other) noexcept {
    std::swap(inUse_, other.inUse_);
    return *this;
  }
  ~StreamLease();

 private:
  explicit StreamLease(std::atomic<int>& inUse) : inUse_(&inUse) {}
  std::atomic<int>* inUse_;
};

// Whether `given` is `expected`. Every byte is compared whatever the first
// difference, so the time taken says nothing of how much of a guess was
// right; only a length that differs ends it at once.
bool tokenMatches(std::string_view given, std::string_view expected);

// Whether the request carries `token`: a "token=" parameter of the URL's
// query (among any others), or "Authorization: Bearer TOKEN". The value is
// compared as sent, without percent-decoding: a token holds no character
// that needs it. True for an empty `token`.
bool requestCarriesToken(const engine::HttpRequest& request, std::string_view token);

class RelayFraming {
 public:
  // The documents are compressed here, once, with `startTime` in their gzip
  // header.
  RelayFraming(RelayFramingSettings settings, std::uint32_t startTime);

  // Answers a classified request; false when the connection must close.
  bool answer(engine::HttpConnection& connection, const engine::HttpRequest& request,
              RelayRequest& relayRequest) const;

 private:
  struct CompressedDocument {
    std::string text;
    std::string gzip;
    std::string deflate;
  };
  // Grants or renews, answers, and sends a new subscriber its initial event.
  bool answerGuide(engine::HttpConnection& connection, const engine::HttpRequest& request,
                   bool gzipFile) const;
  bool answerSubscription(engine::HttpConnection& connection, const engine::HttpRequest& request,
                          const SubscribeDecision& decision) const;

  // Refusals of the relay's own, beside the engine's.
  struct Refusals {
    std::atomic<std::uint64_t> admin{0};
    std::atomic<std::uint64_t> token{0};
    std::atomic<std::uint64_t> maxClients{0};
  };
  bool refuse(engine::HttpConnection& connection, const engine::HttpRequest& request,
              std::atomic<std::uint64_t>& counter, ErrorRow row) const;

  RelayFramingSettings settings_;
  // Tuner streams, and streams of every kind, running now.
  mutable std::atomic<int> tunerStreams_{0};
  mutable std::atomic<int> clientStreams_{0};
  mutable Refusals refusals_;
  std::vector<CompressedDocument> documents_;
};

// The heads a stream answer starts with: the 200 once data flows (bare,
// unless the request is a HEAD or carries getcontentFeatures.dlna.org or
// transferMode.dlna.org), the 500 for a group that stays silent.
engine::Response streamHead(const engine::HttpRequest& request, std::string_view dlnaFields);
engine::Response silentStreamHead();

// The relay's request handler: classified by `routes`, answered by `framing`.
engine::RequestHandler relayRequestHandler(RelayRoutes routes,
                                           std::shared_ptr<const RelayFraming> framing);

}  // namespace relay
