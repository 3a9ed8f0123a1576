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
  out.path = common::concat(rest.starts_with('/') ? "" : "/", rest);
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

namespace {

// One NOTIFY on its way: connect, send, then wait for the subscriber's
// answer (closing at once would answer its reply with a reset). Each step
// has its own deadline.
struct Outgoing {
  enum class Step { Connecting, Sending, Answering, Done };
  const EventDelivery* delivery = nullptr;
  platform::Socket socket;
  Step step = Step::Done;
  std::size_t sent = 0;
  std::int64_t deadline = 0;
  std::string answer;
};

void startConnect(Outgoing& out, std::int64_t now) {
  int error = 0;
  out.socket = platform::Socket::open(SOCK_STREAM, 0, error, true);
  if (!out.socket.valid()) return;
  error = out.socket.connect(out.delivery->to.address, out.delivery->to.port);
  if (error != 0 && error != EINPROGRESS) return;
  out.step = error == 0 ? Outgoing::Step::Sending : Outgoing::Step::Connecting;
  out.deadline = now + (error == 0 ? kSendStallMs : kConnectMs);
}

// Moves `out` on as far as its socket lets it without waiting.
void advance(Outgoing& out, std::int64_t now) {
  const int fd = out.socket.fd();
  if (out.step == Outgoing::Step::Connecting) {
    int error = 0;
    if (out.socket.intOption(SOL_SOCKET, SO_ERROR, error) != 0 || error != 0) {
      out.step = Outgoing::Step::Done;
      return;
    }
    out.step = Outgoing::Step::Sending;
    out.deadline = now + kSendStallMs;
  }
  if (out.step == Outgoing::Step::Sending) {
    const std::string& message = out.delivery->message;
    const ssize_t n = ::send(fd, message.data() + out.sent, message.size() - out.sent,
                             MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      out.step = Outgoing::Step::Done;
      return;
    }
    if (n > 0) {
      out.sent += std::size_t(n);
      out.deadline = now + kSendStallMs;
    }
    if (out.sent == message.size()) {
      out.step = Outgoing::Step::Answering;
      out.deadline = now + kAnswerMs;
    }
    return;
  }
  if (out.step == Outgoing::Step::Answering) {
    char chunk[512];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      out.step = Outgoing::Step::Done;
      return;
    }
    if (n > 0) out.answer.append(chunk, std::size_t(n));
    if (out.answer.find("\r\n\r\n") != std::string::npos || out.answer.size() > 4096) {
      out.step = Outgoing::Step::Done;
    }
  }
}

}  // namespace

void sendEvents(std::span<const EventDelivery> deliveries, platform::Event& stop) {
  std::vector<Outgoing> outgoing(deliveries.size());
  std::int64_t now = platform::monotonicMs();
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    outgoing[i].delivery = &deliveries[i];
    startConnect(outgoing[i], now);
  }
  std::vector<platform::WaitItem> items;
  std::vector<Outgoing*> waiting;
  for (;;) {
    // Every subscriber waits at once: a silent one costs the others nothing.
    items.assign(1, platform::WaitItem::event(stop));
    waiting.clear();
    std::int64_t nearest = 0;
    now = platform::monotonicMs();
    for (Outgoing& out : outgoing) {
      if (out.step != Outgoing::Step::Done && out.deadline <= now) out.step = Outgoing::Step::Done;
      if (out.step == Outgoing::Step::Done) {
        out.socket.close();
        continue;
      }
      const int fd = out.socket.fd();
      items.push_back(out.step == Outgoing::Step::Answering ? platform::WaitItem::readable(fd)
                                                            : platform::WaitItem::writable(fd));
      waiting.push_back(&out);
      if (nearest == 0 || out.deadline < nearest) nearest = out.deadline;
    }
    if (waiting.empty()) return;
    const platform::WaitResult ready =
        platform::waitAny(items, int(std::max<std::int64_t>(nearest - now, 1)));
    if (ready.status == platform::WaitStatus::Failed) return;
    if (ready.status != platform::WaitStatus::Signalled) continue;  // a deadline passed
    if (ready.index == 0) return;
    advance(*waiting[ready.index - 1], platform::monotonicMs());
  }
}

void sendEvent(const EventCallback& to, std::string_view message, platform::Event& stop) {
  const EventDelivery delivery{to, std::string(message)};
  sendEvents({&delivery, 1}, stop);
}

}  // namespace relay
