#include "relay/app/url_routing.h"

#include <arpa/inet.h>

#include <cstdint>
#include <string>

#include "common/parse_number.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "relay/upnp/playlist_export.h"

namespace relay {
namespace {

// The relay's own stream path, and those of playlists written for other
// relays, so that moving a playlist over means changing host and port only.
constexpr std::string_view kStreamPrefixes[] = {"/vkx/", "/udp/", "/rtp/"};

const std::string_view* streamPrefixOf(std::string_view url) {
  for (const std::string_view& prefix : kStreamPrefixes) {
    if (url.starts_with(prefix)) return &prefix;
  }
  return nullptr;
}

// The URL as the console and the log show it: the value of each "token="
// parameter of the query left out, so that neither hands the token on.
std::string shownUrl(std::string_view url) {
  const std::size_t question = url.find('?');
  if (question == std::string_view::npos) return std::string(url);
  std::string out(url.substr(0, question + 1));
  std::string_view query = url.substr(question + 1);
  for (bool first = true;; first = false) {
    const std::size_t amp = query.find('&');
    const std::string_view parameter = query.substr(0, amp);
    if (!first) out += '&';
    out += parameter.starts_with(kTokenParameter) ? std::string(kTokenParameter) + "..."
                                                  : std::string(parameter);
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return out;
}

void logStreamRequest(std::string_view url, RelayLog& log) {
  const std::string message = "Received vkx request: " + shownUrl(url);
  platform::writeUntrustedLine(message);
  log.appendLog(message);
}

// The relay's list and guide URLs with a query: only one that carries a
// token (among other parameters), which is how clients of a relay with
// --token fetch them; any other query stays a 400, as it always was.
std::string_view listPath(std::string_view url) {
  const std::size_t question = url.find('?');
  if (question == std::string_view::npos) return url;
  for (std::string_view query = url.substr(question + 1);;) {
    const std::size_t amp = query.find('&');
    if (query.substr(0, amp).starts_with(kTokenParameter)) return url.substr(0, question);
    if (amp == std::string_view::npos) return url;
    query.remove_prefix(amp + 1);
  }
}

// Players and TV sets may add their own query to a stream URL
// ("?mediaPlayerId=1&playMode=2"); it is not part of the address.
void routeStream(std::string_view url, std::string_view address, RelayRequest& request,
                 RelayLog& log) {
  address = address.substr(0, address.find('?'));
  if (!parseStreamAddress(address, request.stream)) {
    request.errorRow = ErrorRow::BadRequest;
    return;
  }
  request.kind = RelayKind::Stream;
  logStreamRequest(url, log);
}

// The network tuner's URLs; media centers add queries of their own
// ("?tuning", "?transcode=heavy"), which change nothing.
bool routeTuner(std::string_view url, RelayRequest& request, RelayLog& log) {
  const std::string_view path = url.substr(0, url.find('?'));
  static constexpr std::pair<std::string_view, TunerView> kViews[] = {
      {"/discover.json", TunerView::Discover},
      {"/lineup.json", TunerView::Lineup},
      {"/lineup_status.json", TunerView::LineupStatus},
  };
  for (const auto& [name, view] : kViews) {
    if (path == name) {
      request.kind = RelayKind::Tuner;
      request.tunerView = view;
      return true;
    }
  }
  constexpr std::string_view kAuto = "/auto/v";
  if (!path.starts_with(kAuto)) return false;
  request.tunerNumber = std::string(path.substr(kAuto.size()));
  if (request.tunerNumber.empty()) {
    request.errorRow = ErrorRow::BadRequest;
    return true;
  }
  request.kind = RelayKind::Stream;
  logStreamRequest(url, log);
  return true;
}

}  // namespace

bool parseStreamAddress(std::string_view text, StreamAddress& address) {
  // An "@" counts only before the port: "group:port@x" reads as it always has.
  platform::Ipv4 source = 0;
  if (const std::size_t at = text.substr(0, text.find(':')).find('@');
      at != std::string_view::npos) {
    source = parseSource(text.substr(0, at));
    if (source == 0) return false;
    text.remove_prefix(at + 1);
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view portPart = text.substr(colon + 1);
  if (portPart.find_first_of("?/") != std::string_view::npos) return false;

  const platform::Ipv4 group = platform::parseIpv4(std::string(text.substr(0, colon)));
  if (group == platform::Ipv4(INADDR_NONE)) return false;
  const std::uint32_t firstOctet = ntohl(group) >> 24;
  if (firstOctet < 224 || firstOctet > 239) return false;

  std::uint16_t port;
  if (!common::tryParseNumber(portPart, port)) return false;
  address.group = group;
  address.port = port;
  address.source = source;
  return true;
}

void resolveUrl(std::string_view url, RelayRequest& request, std::string_view streamToken,
                RelayLog& log) {
  for (std::size_t i = 0; i < std::size(kDocumentPaths); ++i) {
    if (url == kDocumentPaths[i]) {
      request.kind = RelayKind::Document;
      request.document = i;
      return;
    }
  }
  if (url == "/") {
    request.kind = RelayKind::Document;
    request.document = 0;
  } else if (url == "/command/quit") {
    request.kind = RelayKind::Quit;
  } else if (url == "/command/log") {
    request.kind = RelayKind::GeneratedText;
  } else if (url == "/status" || url == "/status.json" || url == "/metrics") {
    request.kind = RelayKind::Status;
    request.statusView = url == "/status"        ? StatusView::Html
                         : url == "/status.json" ? StatusView::Json
                                                 : StatusView::Metrics;
  } else if (listPath(url) == "/playlist.m3u") {
    request.kind = RelayKind::Playlist;
  } else if (listPath(url) == "/epg.xml" || listPath(url) == "/epg.xml.gz") {
    request.kind = RelayKind::Guide;
    request.guideGzipFile = listPath(url).ends_with(".gz");
  } else if (routeTuner(url, request, log)) {
    return;
  } else if (const std::string_view* prefix = streamPrefixOf(url)) {
    if (url.size() <= prefix->size()) {
      request.errorRow = ErrorRow::BadRequest;
      return;
    }
    routeStream(url, url.substr(prefix->size()), request, log);
  } else if (!streamToken.empty() && url.find(streamToken) != std::string_view::npos) {
    // "/" token "/" [source "@"] group ":" port
    const std::size_t prefix = streamToken.size() + 2;
    if (url.size() <= prefix) {
      request.errorRow = ErrorRow::BadRequest;
      return;
    }
    routeStream(url, url.substr(prefix), request, log);
  }
}

}  // namespace relay
