#include "relay/app/relay_framing.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "engine/compression.h"
#include "engine/response_writer.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "relay/upnp/event_notify.h"
#include "relay/upnp/gena.h"

namespace relay {
namespace {

using engine::HttpRequest;
using engine::Response;

constexpr char kXmlType[] = "Content-Type: text/xml; charset=UTF-8\r\n";
constexpr char kLanguageLine[] = "Content-Language: en\r\n";
constexpr char kPlaylistType[] = "Content-Type: audio/x-mpegurl; charset=UTF-8\r\n";
constexpr char kJsonType[] = "Content-Type: application/json\r\n";
// The log holds what clients sent; a browser shows it as text and is told
// not to guess otherwise.
constexpr char kLogFields[] =
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n";

const char* statusOf(ErrorRow row) {
  switch (row) {
    case ErrorRow::NotAcceptable:
      return "406 Not Acceptable";
    case ErrorRow::InternalError:
      return "500 Internal Server Error";
    case ErrorRow::NotImplemented:
      return "501 Not Implemented";
    case ErrorRow::PreconditionFailed:
      return "412 Precondition Failed";
    case ErrorRow::NotFound:
      return "404 Not Found";
    case ErrorRow::TunersInUse:
    case ErrorRow::ClientsBusy:
      return "503 Service Unavailable";
    case ErrorRow::Forbidden:
      return "403 Forbidden";
    case ErrorRow::BadRequest:
      break;
  }
  return "400 Bad Request";
}

// The error rows always say HTTP/1.1, carry no body and close.
Response errorAnswer(ErrorRow row) {
  Response out;
  out.version = "1.1";
  out.status = statusOf(row);
  out.connectionLines = false;
  out.close = true;
  // Media centers count tuners, and tell the viewer, by this line.
  if (row == ErrorRow::TunersInUse) out.fields = "X-HDHomeRun-Error: 805 All Tuners In Use\r\n";
  // Players that honour it come back when a stream may have ended.
  if (row == ErrorRow::ClientsBusy) out.fields = "Retry-After: 5\r\n";
  return out;
}

// "address:port" of the relay as the client reached it, for the URLs an
// answer writes: on a relay listening on every address each LAN needs URLs
// it can reach.
std::optional<std::string> reachedHost(const engine::HttpConnection& connection) {
  platform::Ipv4 address = 0;
  std::uint16_t port = 0;
  if (platform::localAddressOf(connection.fd(), address, port) != 0) return std::nullopt;
  return platform::ipv4Text(address) + ":" + std::to_string(port);
}

constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int monthOf(std::string_view name) {
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (name == kMonths[i]) return int(i) + 1;
  }
  return 0;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian), without the
// C library's time zone.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  namespace chrono = std::chrono;
  return chrono::sys_days(chrono::year(int(y)) / chrono::month(m) / chrono::day(d))
      .time_since_epoch()
      .count();
}

void civilFromDays(std::int64_t z, int& year, unsigned& month, unsigned& day) {
  namespace chrono = std::chrono;
  const chrono::year_month_day date{chrono::sys_days(chrono::days(z))};
  year = int(date.year());
  month = unsigned(date.month());
  day = unsigned(date.day());
}

constexpr char kGuideXmlType[] = "Content-Type: application/xml; charset=UTF-8\r\n";
constexpr char kGuideGzipType[] = "Content-Type: application/gzip\r\n";

}  // namespace

std::string httpDate(std::int64_t unixSeconds) {
  const std::int64_t days = unixSeconds >= 0 ? unixSeconds / 86400 : (unixSeconds - 86399) / 86400;
  const std::int64_t second = unixSeconds - days * 86400;
  int year;
  unsigned month, day;
  civilFromDays(days, year, month, day);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT",
                kWeekdays[std::size_t((days % 7 + 11) % 7)], day, kMonths[month - 1], year,
                int(second / 3600), int(second / 60 % 60), int(second % 60));
  return text;
}

std::optional<std::int64_t> parseHttpDate(std::string_view text) {
  const std::string copy(text);
  char weekday[16] = {}, monthName[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  const char* s = copy.c_str();
  // IMF-fixdate, then RFC 850 (a two-digit year), then asctime.
  if (std::sscanf(s, "%3s, %2d %3s %4d %2d:%2d:%2d GMT%n", weekday, &day, monthName, &year, &hour,
                  &minute, &second, &used) == 7 &&
      used == int(copy.size())) {
  } else if (std::sscanf(s, "%15[A-Za-z], %2d-%3s-%2d %2d:%2d:%2d GMT%n", weekday, &day, monthName,
                         &year, &hour, &minute, &second, &used) == 7 &&
             used == int(copy.size())) {
    year += year < 70 ? 2000 : 1900;
  } else if (std::sscanf(s, "%3s %3s %2d %2d:%2d:%2d %4d%n", weekday, monthName, &day, &hour,
                         &minute, &second, &year, &used) == 7 &&
             used == int(copy.size())) {
  } else {
    return std::nullopt;
  }
  const int month = monthOf(monthName);
  if (month == 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  return daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 + minute * 60 +
         second;
}

std::shared_ptr<const GuideDocument> makeGuideDocument(Guide guide, std::int64_t loadedAt) {
  auto document = std::make_shared<GuideDocument>();
  std::string xml = std::move(guide.xml);
  document->programmes = std::move(guide);
  document->gzip = engine::compressBody(true, xml, engine::kDocumentLevel, std::uint32_t(loadedAt));
  document->deflate = engine::compressBody(false, xml, engine::kDocumentLevel, 0);
  document->xml = std::move(xml);
  document->loadedAt = loadedAt;
  document->lastModified = httpDate(loadedAt);
  return document;
}

std::string dlnaStreamFields(std::string_view protocolInfo) {
  // What follows "http-get:*:" is the MIME type and the fourth field.
  const std::size_t colon = protocolInfo.find(':');
  std::string_view mime = protocolInfo.substr(0, colon);
  std::string_view features =
      colon == std::string_view::npos ? std::string_view() : protocolInfo.substr(colon + 1);
  if (mime.empty() || mime == "*") mime = "video/mpeg";
  std::string out = "Content-Type: " + std::string(mime) + "\r\n";
  out += "transferMode.dlna.org: Streaming\r\n";
  if (features.empty() || features == "*") {
    // A live channel: DLNA.ORG_OP=00 offers neither time nor byte seeking
    // (a Range gets the plain stream), DLNA.ORG_CI=0 says it is the source
    // as sent, not converted. DLNA.ORG_FLAGS is 32 hex digits whose first
    // eight carry the flags, high bit first:
    //   bit 24 (01) streaming transfer: played as it arrives;
    //   bit 22 (4)  background transfer: may also be fetched to be kept;
    //   bit 21 (2)  connection stall: a client that pauses by not reading
    //               keeps its connection (the relay holds its backlog up to
    //               the slow-client limit);
    //   bit 20 (1)  these flags follow version 1.5 of the guidelines.
    // Seek flags (bits 29, 30) and the moving-range flags are left off: a
    // live channel has no start or end to offer.
    features = "DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
  }
  out += "contentFeatures.dlna.org: " + std::string(features) + "\r\n";
  return out;
}

bool asksForDlnaFields(const HttpRequest& request) {
  return engine::isHead(request) || request.header("GETCONTENTFEATURES.DLNA.ORG") != nullptr ||
         request.header("TRANSFERMODE.DLNA.ORG") != nullptr;
}

Response streamHead(const HttpRequest& request, std::string_view dlnaFields) {
  Response out;
  out.version = "1.1";
  out.status = "200 OK";
  out.counted = false;
  out.connectionLines = false;
  // A player that does not ask keeps the bare head it has always had.
  if (asksForDlnaFields(request)) out.fields = dlnaFields;
  return out;
}

Response silentStreamHead() {
  return errorAnswer(ErrorRow::InternalError);
}

std::optional<StreamLease> StreamLease::take(std::atomic<int>& inUse, int count) {
  int running = inUse.load();
  do {
    if (running >= count) return std::nullopt;
  } while (!inUse.compare_exchange_weak(running, running + 1));
  return StreamLease(inUse);
}

StreamLease::~StreamLease() {
  if (inUse_ != nullptr) inUse_->fetch_sub(1);
}

bool tokenMatches(std::string_view given, std::string_view expected) {
  if (given.size() != expected.size()) return false;
  // Through a volatile: the compiler may not turn the loop into one that
  // stops at the first difference.
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference = difference |
                 (static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(expected[i]));
  }
  return difference == 0;
}

bool requestCarriesToken(const HttpRequest& request, std::string_view token) {
  if (token.empty()) return true;
  bool carried = false;
  // Every "token=" parameter is compared, so that none ends the search early.
  const std::string_view url = request.url;
  if (const std::size_t question = url.find('?'); question != std::string_view::npos) {
    for (const std::string& parameter : common::split(url.substr(question + 1), '&')) {
      constexpr std::string_view kName = "token=";
      if (parameter.starts_with(kName) &&
          tokenMatches(std::string_view(parameter).substr(kName.size()), token)) {
        carried = true;
      }
    }
  }
  if (const std::string* authorization = request.header("AUTHORIZATION")) {
    constexpr std::string_view kScheme = "Bearer";
    const std::string_view value = common::trim(*authorization);
    if (value.size() > kScheme.size() &&
        common::equalsIgnoreCaseAscii(value.substr(0, kScheme.size()), kScheme) &&
        (value[kScheme.size()] == ' ' || value[kScheme.size()] == '\t') &&
        tokenMatches(common::trim(value.substr(kScheme.size())), token)) {
      carried = true;
    }
  }
  return carried;
}

RelayFraming::RelayFraming(RelayFramingSettings settings, std::uint32_t startTime)
    : settings_(std::move(settings)) {
  if (!settings_.subscriptions) settings_.subscriptions = std::make_shared<SubscriptionTable>();
  for (const std::string& text : settings_.documents) {
    CompressedDocument document;
    document.text = text;
    document.deflate = engine::compressBody(false, text, engine::kDocumentLevel, startTime);
    document.gzip = engine::compressBody(true, text, engine::kDocumentLevel, startTime);
    documents_.push_back(std::move(document));
  }
}

bool RelayFraming::answer(engine::HttpConnection& connection, const HttpRequest& request,
                          RelayRequest& relayRequest) const {
  Response out;
  out.status = "200 OK";
  const std::string languageLine = request.acceptLanguage ? kLanguageLine : "";
  // Who may ask: the commands and status pages only hosts of --admin-allow,
  // streams and lists only with the token. A HEAD is refused the same.
  switch (relayRequest.kind) {
    case RelayKind::Quit:
    case RelayKind::GeneratedText:
    case RelayKind::Status:
      if (!settings_.adminAllow.contains(connection.peer())) {
        return refuse(connection, request, refusals_.admin, ErrorRow::Forbidden);
      }
      break;
    case RelayKind::Stream:
    case RelayKind::Playlist:
    case RelayKind::Guide:
      if (!requestCarriesToken(request, settings_.token)) {
        return refuse(connection, request, refusals_.token, ErrorRow::Forbidden);
      }
      break;
    default:
      break;
  }
  switch (relayRequest.kind) {
    case RelayKind::Document: {
      if (relayRequest.document >= documents_.size()) {
        return engine::writeResponse(connection, request, errorAnswer(ErrorRow::BadRequest));
      }
      const CompressedDocument& document = documents_[relayRequest.document];
      out.fields = kXmlType;
      out.body = document.text;
      if (request.coding == engine::kGzip) {
        out.body = document.gzip;
        out.bodyCoding = engine::kGzip;
      } else if (request.coding == engine::kDeflate) {
        out.body = document.deflate;
        out.bodyCoding = engine::kDeflate;
      }
      out.trailer = languageLine;
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::GeneratedText: {
      const std::string text = settings_.logText ? settings_.logText() : std::string();
      out.fields = kLogFields;
      out.body = text;
      out.trailer = languageLine;
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::Status: {
      if (!settings_.status) break;
      static constexpr const char* kTypes[] = {
          "Content-Type: text/html; charset=UTF-8\r\n", "Content-Type: application/json\r\n",
          "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"};
      out.fields = kTypes[int(relayRequest.statusView)];
      out.fields += "Cache-Control: no-store\r\n";
      const engine::EngineRefusals& engine = connection.core().refusals;
      const RefusalCounts refusals{engine.allowList.load(std::memory_order_relaxed),
                                   engine.perHost.load(std::memory_order_relaxed),
                                   engine.slowHead.load(std::memory_order_relaxed),
                                   refusals_.admin.load(std::memory_order_relaxed),
                                   refusals_.token.load(std::memory_order_relaxed),
                                   refusals_.maxClients.load(std::memory_order_relaxed)};
      const std::string body = settings_.status(relayRequest.statusView, refusals);
      out.body = body;
      out.compress = true;
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::Playlist: {
      if (!settings_.playlist) break;
      const std::optional<std::string> host = reachedHost(connection);
      if (!host) {
        return engine::writeResponse(connection, request, errorAnswer(ErrorRow::InternalError));
      }
      const std::shared_ptr<const PlaylistAnswer> playlist = settings_.playlist(*host);
      if (!playlist) break;
      out.fields = kPlaylistType;
      out.body = playlist->text;
      if (request.coding == engine::kGzip) {
        out.body = playlist->gzip;
        out.bodyCoding = engine::kGzip;
      } else if (request.coding == engine::kDeflate) {
        out.body = playlist->deflate;
        out.bodyCoding = engine::kDeflate;
      }
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::Soap: {
      int result = -1;
      std::string body;
      if (settings_.soapResponder) result = settings_.soapResponder(relayRequest.soap, body);
      if (result != 0) out.status = "500 Internal Server Error";
      out.fields = kXmlType;
      out.body = body;
      out.compress = true;
      out.afterLength =
          "Server: " + connection.settings().serverToken + " UPnP/1.0 UPnP-Device-Host/1.0\r\n";
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::Tuner: {
      if (!settings_.tunerDocument) break;
      const std::optional<std::string> host = reachedHost(connection);
      if (!host) {
        return engine::writeResponse(connection, request, errorAnswer(ErrorRow::InternalError));
      }
      // A scan "starts" and is done: 200 and nothing more.
      if (relayRequest.tunerView == TunerView::LineupPost) {
        return engine::writeResponse(connection, request, out);
      }
      const std::string body = settings_.tunerDocument(relayRequest.tunerView, "http://" + *host);
      out.fields = kJsonType;
      out.fields += "Cache-Control: no-store\r\n";
      out.body = body;
      out.compress = true;
      return engine::writeResponse(connection, request, out);
    }
    case RelayKind::Stream: {
      // A tuner URL names a channel of the list served now.
      const bool tuner = !relayRequest.tunerNumber.empty();
      if (tuner) {
        if (!settings_.tunerChannel) break;
        const std::optional<StreamAddress> channel =
            settings_.tunerChannel(relayRequest.tunerNumber);
        if (!channel) {
          return engine::writeResponse(connection, request, errorAnswer(ErrorRow::NotFound));
        }
        relayRequest.stream = *channel;
      }
      // A stream takes one of --max-clients places, and a tuner stream one
      // of the tuners too, while it runs; a HEAD starts none.
      std::optional<StreamLease> place;
      std::optional<StreamLease> lease;
      if (!engine::isHead(request)) {
        if (settings_.maxClients > 0) {
          place = StreamLease::take(clientStreams_, int(settings_.maxClients));
          if (!place) {
            return refuse(connection, request, refusals_.maxClients, ErrorRow::ClientsBusy);
          }
        }
        if (tuner) {
          lease = StreamLease::take(tunerStreams_, settings_.tunerCount);
          if (!lease) {
            return engine::writeResponse(connection, request, errorAnswer(ErrorRow::TunersInUse));
          }
        }
      }
      const Response head = streamHead(request, settings_.streamFields);
      // A HEAD is answered at once, without joining the group; it has no
      // body, so the connection may stay for the GET that follows.
      if (engine::isHead(request)) {
        return connection.sendAll(engine::responseHead(connection.settings(), request, head)) &&
               !request.closeAfter;
      }
      // Only the stream sender answers a stream; without it the request ends.
      if (settings_.stream) settings_.stream(connection, request, relayRequest.stream, head);
      return false;
    }
    case RelayKind::Subscription:
      return answerSubscription(connection, request, relayRequest.subscription);
    case RelayKind::Unsubscribe:
      // The answer is the same whether the SID was known or not.
      if (const std::string* sid = request.header("SID")) {
        settings_.subscriptions->remove(*sid, request.url);
      }
      // The connection stays open: the empty body's length is said, or an
      // HTTP/1.1 client waits for one until the idle close.
      out.version = "1.1";
      out.connectionLines = false;
      return engine::writeResponse(connection, request, out);
    case RelayKind::Quit:
      // Nothing is sent; the connection closes and the relay stops. A HEAD
      // gets the same nothing but stops nothing: it only asks.
      if (settings_.quitEvent && !engine::isHead(request)) settings_.quitEvent->set();
      return false;
    case RelayKind::Guide:
      return answerGuide(connection, request, relayRequest.guideGzipFile);
    case RelayKind::Error:
      break;
  }
  return engine::writeResponse(connection, request, errorAnswer(relayRequest.errorRow));
}

bool RelayFraming::refuse(engine::HttpConnection& connection, const HttpRequest& request,
                          std::atomic<std::uint64_t>& counter, ErrorRow row) const {
  counter.fetch_add(1, std::memory_order_relaxed);
  return engine::writeResponse(connection, request, errorAnswer(row));
}

bool RelayFraming::answerGuide(engine::HttpConnection& connection, const HttpRequest& request,
                               bool gzipFile) const {
  // Held for the whole answer: a reload may replace the guide meanwhile.
  const std::shared_ptr<const GuideDocument> guide = settings_.guide ? settings_.guide() : nullptr;
  if (!guide) return engine::writeResponse(connection, request, errorAnswer(ErrorRow::NotFound));
  Response out;
  out.status = "200 OK";
  out.fields = gzipFile ? kGuideGzipType : kGuideXmlType;
  out.fields += "Last-Modified: " + guide->lastModified + "\r\n";
  if (const std::string* since = request.header("IF-MODIFIED-SINCE")) {
    if (const std::optional<std::int64_t> time = parseHttpDate(*since);
        time && *time >= guide->loadedAt) {
      out.status = "304 Not Modified";
      out.counted = false;
      return engine::writeResponse(connection, request, out);
    }
  }
  if (gzipFile) {
    out.body = guide->gzip;
  } else if (request.coding == engine::kGzip) {
    out.body = guide->gzip;
    out.bodyCoding = engine::kGzip;
  } else if (request.coding == engine::kDeflate) {
    out.body = guide->deflate;
    out.bodyCoding = engine::kDeflate;
  } else {
    out.body = guide->xml;
  }
  return engine::writeResponse(connection, request, out);
}

bool RelayFraming::answerSubscription(engine::HttpConnection& connection,
                                      const HttpRequest& request,
                                      const SubscribeDecision& decision) const {
  SubscriptionTable& table = *settings_.subscriptions;
  const std::int64_t now = platform::monotonicMs();
  const bool renewal = !decision.renewalSid.empty();
  platform::Ipv4 peer = 0;
  std::uint16_t peerPort = 0;
  if (platform::peerAddressOf(connection.fd(), peer, peerPort) != 0) peer = 0;
  std::string sid = decision.renewalSid;
  const std::optional<EventCallback> callback =
      renewal ? std::nullopt : eventCallback(decision.callback, peer);
  if (!renewal) {
    sid = table.add(peer, request.url, decision.seconds, now, callback);
  } else if (!table.renew(sid, request.url, decision.seconds, now)) {
    return engine::writeResponse(connection, request, errorAnswer(ErrorRow::PreconditionFailed));
  }
  const bool keep = engine::writeResponse(
      connection, request,
      subscriptionAnswer(connection.settings().serverToken, sid, decision.seconds));

  // The subscriber has its SID before the event that names it arrives.
  if (renewal || !callback || !settings_.initialEvent) return keep;
  if (const std::string body = settings_.initialEvent(request.url); !body.empty()) {
    sendEvent(*callback, eventMessage(*callback, sid, 0, body), connection.shutdownEvent());
  }
  return keep;
}

engine::RequestHandler relayRequestHandler(RelayRoutes routes,
                                           std::shared_ptr<const RelayFraming> framing) {
  return [routes = std::move(routes), framing = std::move(framing)](
             engine::HttpConnection& connection, HttpRequest& request) {
    RelayRequest relayRequest = classifyRelayRequest(request, routes);
    return framing->answer(connection, request, relayRequest);
  };
}

}  // namespace relay
