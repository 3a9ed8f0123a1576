#include "relay/upnp/event_notify.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/socket_io.h"
#include "platform/wait.h"
#include "relay/upnp/soap_scanner.h"

namespace relay {
namespace {

// The subscriber is on the LAN: it connects at once or not at all, and the
// NOTIFY is a few hundred bytes. The worker sending it owes its own client
// nothing meanwhile, but should not be held for long either.
constexpr int kConnectMs = 1500;
constexpr int kSendStallMs = 1500;
constexpr int kAnswerMs = 1000;

constexpr std::string_view kScheme = "http://";

// One URL of a CALLBACK value, read strictly; nothing for anything this
// relay would not send to.
std::optional<EventCallback> readCallbackUrl(std::string_view url) {
  if (url.size() < kScheme.size() ||
      !common::equalsIgnoreCaseAscii(url.substr(0, kScheme.size()), kScheme)) {
    return std::nullopt;
  }
  url.remove_prefix(kScheme.size());
  const std::size_t authorityEnd = std::min(url.find_first_of("/?#"), url.size());
  const std::string_view authority = url.substr(0, authorityEnd);
  std::string_view rest = url.substr(authorityEnd);
  rest = rest.substr(0, std::min(rest.find('#'), rest.size()));

  EventCallback out;
  const std::size_t colon = authority.find(':');
  const std::string host(authority.substr(0, colon));
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return std::nullopt;
  out.address = address.s_addr;
  if (colon != std::string_view::npos) {
    const std::string_view digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    std::uint32_t port = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + std::uint32_t(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    out.port = std::uint16_t(port);
  }
  out.host = std::string(authority);
  out.path = rest.starts_with('/') ? std::string(rest) : "/" + std::string(rest);
  // It becomes the request line: printable bytes only, no blanks.
  for (const char c : out.path) {
    if (c <= ' ' || c > '~') return std::nullopt;
  }
  return out;
}

// The text of `name` in the answer of `action` on `service`, as sent.
std::string answeredValue(const ControlHandler& control, std::string_view soapAction,
                          std::string_view name) {
  const std::optional<SoapAction> action = classifySoapAction(soapAction);
  if (!action) return {};
  SoapArguments arguments;
  std::string body;
  if (control.dispatch(action->service, action->action, arguments, body) != 0) return {};
  return readElementText(body, name);
}

}  // namespace

std::optional<EventCallback> eventCallback(std::string_view callback, platform::Ipv4 peer) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t open = callback.find('<', start);
    if (open == std::string_view::npos) return std::nullopt;
    const std::size_t close = callback.find('>', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::optional<EventCallback> url = readCallbackUrl(callback.substr(open + 1, close - open - 1));
    // 0.0.0.0 would mean this host itself; no real peer has it.
    if (url && peer != 0 && url->address == peer) return url;
    start = close + 1;
  }
}

std::string eventBody(const ControlHandler& control, std::uint32_t service) {
  std::vector<std::pair<std::string_view, std::string>> variables;
  if (service == soapservice::kContentDirectory) {
    variables = {
        {"SystemUpdateID",
         answeredValue(control, "urn:schemas-upnp-org:service:ContentDirectory:1#GetSystemUpdateID",
                       "Id")},
        // Containers are never updated one by one: a new list is a new
        // SystemUpdateID.
        {"ContainerUpdateIDs", ""},
    };
  } else if (service == soapservice::kConnectionManager) {
    constexpr std::string_view kProtocolInfo =
        "urn:schemas-upnp-org:service:ConnectionManager:1#GetProtocolInfo";
    variables = {
        {"SourceProtocolInfo", answeredValue(control, kProtocolInfo, "Source")},
        {"SinkProtocolInfo", answeredValue(control, kProtocolInfo, "Sink")},
        {"CurrentConnectionIDs",
         answeredValue(control,
                       "urn:schemas-upnp-org:service:ConnectionManager:1#GetCurrentConnectionIDs",
                       "ConnectionIDs")},
    };
  } else {
    return {};
  }
  std::string body =
      "<?xml version=\"1.0\"?>"
      "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
  for (const auto& [name, value] : variables) {
    body += "<e:property><";
    body += name;
    body += ">";
    body += value;
    body += "</";
    body += name;
    body += "></e:property>";
  }
  body += "</e:propertyset>";
  return body;
}

std::string eventMessage(const EventCallback& to, std::string_view sid, std::uint32_t seq,
                         std::string_view body) {
  std::string message = "NOTIFY " + to.path + " HTTP/1.1\r\nHOST: " + to.host +
                        "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
                        "NT: upnp:event\r\nNTS: upnp:propchange\r\nSID: ";
  message += sid;
  message += "\r\nSEQ: ";
  message += std::to_string(seq);
  message += "\r\nCONTENT-LENGTH: ";
  message += std::to_string(body.size());
  message += "\r\n\r\n";
  message += body;
  return message;
}

void sendEvent(const EventCallback& to, std::string_view message, platform::Event& stop) {
  int error = 0;
  platform::Socket socket = platform::Socket::open(SOCK_STREAM, 0, error, true);
  if (!socket.valid()) return;
  const int fd = socket.fd();
  error = socket.connect(to.address, to.port);
  if (error == EINPROGRESS) {
    const platform::WaitItem connecting[] = {platform::WaitItem::event(stop),
                                             platform::WaitItem::writable(fd)};
    const platform::WaitResult ready = platform::waitAny(connecting, kConnectMs);
    if (ready.status != platform::WaitStatus::Signalled || ready.index == 0) return;
    if (socket.intOption(SOL_SOCKET, SO_ERROR, error) != 0) return;
  }
  if (error != 0) return;

  const platform::WaitItem stops[] = {platform::WaitItem::event(stop)};
  platform::SendWaits waits;
  waits.stops = stops;
  waits.stallMs = kSendStallMs;
  if (platform::sendAll(fd, message, waits).status != platform::SendStatus::Sent) return;

  // Closing at once would answer the subscriber's reply with a reset; its
  // head (or its close) ends the wait.
  const platform::WaitItem answering[] = {platform::WaitItem::event(stop),
                                          platform::WaitItem::readable(fd)};
  const std::int64_t end = platform::monotonicMs() + kAnswerMs;
  std::string answer;
  for (;;) {
    const std::int64_t left = end - platform::monotonicMs();
    if (left <= 0) return;
    const platform::WaitResult ready = platform::waitAny(answering, int(left));
    if (ready.status != platform::WaitStatus::Signalled || ready.index == 0) return;
    char chunk[512];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
    if (n > 0) answer.append(chunk, std::size_t(n));
    if (answer.find("\r\n\r\n") != std::string::npos || answer.size() > 4096) return;
  }
}

}  // namespace relay
