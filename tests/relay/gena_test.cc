// Event subscriptions: which SUBSCRIBE is accepted and for how long, the
// table that keeps SIDs across renewals, the callback a subscriber may
// name, and the events it gets.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "engine/request_parser.h"
#include "engine/response_writer.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/descriptions.h"
#include "relay/upnp/event_notify.h"
#include "relay/upnp/gena.h"
#include "relay/upnp/subscription_table.h"

namespace {

using relay::SubscribeRefusal;

struct SubscribeCase {
  std::string target;
  std::string headers;
  bool accepted;
  SubscribeRefusal refusal;
  std::string renewalSid = "";
};

TEST(Gena, SubscribeClassification) {
  constexpr bool kOk = true;
  constexpr bool kError = false;
  constexpr SubscribeRefusal k406 = SubscribeRefusal::NotAcceptable;
  constexpr SubscribeRefusal k500 = SubscribeRefusal::InternalError;
  constexpr SubscribeRefusal k501 = SubscribeRefusal::NotImplemented;
  constexpr SubscribeRefusal k400 = SubscribeRefusal::BadRequest;
  const std::string callback = "CALLBACK: <http://192.168.0.9:4000/ev>\r\nTIMEOUT: Second-1800\r\n";
  const std::string sid = "uuid:0d9a7e2c-0000-11ef-8000-000000000001";
  const SubscribeCase cases[] = {
      {"/upnp/event/cds", "NT: upnp:event\r\n" + callback, kOk, k406},
      {"/upnp/event/cm", "nt:  upnp:event \r\n", kOk, k406},
      {"/upnp/event/cds", "SID: " + sid + "\r\n", kOk, k406, sid},
      {"/somewhere", "NT: upnp:event\r\n" + callback, kOk, k501},
      {"/somewhere", "SID: uuid:x\r\n", kOk, k501, "uuid:x"},
      {"/upnp/control/cds", "NT: upnp:control\r\n", kOk, k500},
      {"/upnp/event/cds", "NT: upnp:event\r\nNT: other\r\n", kOk, k406},
      {"/upnp/event/cm", callback, kError, k406},
      {"/upnp/event/cds", "NT: UPNP:EVENT\r\n", kError, k406},
      {"/upnp/control/cds", "", kError, k500},
      {"/upnp/control/cm", "", kError, k500},
      {"/upnp/event/CDS", "", kError, k501},
      {"/upnp/event/cds?x", "", kError, k501},
      {"*", "", kError, k501},
      // A renewal names its subscription and nothing of a new one.
      {"/upnp/event/cds", "SID: " + sid + "\r\nNT: upnp:event\r\n", kError, k400},
      {"/upnp/event/cds", "SID: " + sid + "\r\n" + callback, kError, k400},
  };
  for (const SubscribeCase& c : cases) {
    engine::HttpRequest request;
    engine::parseRequest(
        "SUBSCRIBE " + c.target + " HTTP/1.1\r\nHOST: 192.168.0.2:2901\r\n" + c.headers + "\r\n",
        request, true);
    const relay::SubscribeDecision decision = relay::subscribe(request);
    SCOPED_TRACE(c.target + " | " + c.headers);
    EXPECT_EQ(decision.accepted, c.accepted);
    if (c.accepted) {
      EXPECT_EQ(decision.renewalSid, c.renewalSid);
    } else {
      EXPECT_EQ(decision.refusal, c.refusal);
    }
  }
}

TEST(Gena, GrantedTimeOut) {
  const struct {
    std::optional<std::string> timeout;
    std::uint32_t seconds;
  } cases[] = {
      {"Second-300", 300},
      {"second-120", 120},
      {"Second-60", 60},
      {"Second-5", 60},
      {"Second-0", 60},
      {"Second-1800", 1800},
      {"Second-1801", 1800},
      {"Second-99999", 1800},
      {"Second-2147483647", 1800},
      {"Second-99999999999999999999999", 1800},
      {"Second-infinite", 1800},
      {"infinite", 1800},
      {std::nullopt, 1800},
      {"", 1800},
      {"Second-", 1800},
      {"Second--300", 1800},
      {"Second-300s", 1800},
      {"Second- 300", 1800},
      {"Minute-5", 1800},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relay::grantedSeconds(c.timeout ? &*c.timeout : nullptr), c.seconds)
        << c.timeout.value_or("(none)");
  }
}

TEST(Gena, AnswerCarriesTheSidAndTheGrantedTime) {
  EXPECT_EQ(engine::responseHead({}, {}, relay::subscriptionAnswer("Linux/6.1", "uuid:abc", 300)),
            "HTTP/1.1 200 OK\r\nSERVER: Linux/6.1 UPnP/1.0 UPnP-Device-Host/1.0\r\n"
            "TIMEOUT: Second-300\r\nSID: uuid:abc\r\nCONTENT-LENGTH: 0\r\n\r\n");
}

const platform::Ipv4 kHost = platform::parseIpv4("192.168.0.9");

TEST(SubscriptionTable, RenewalsKeepTheirSidUntilTheyLapse) {
  relay::SubscriptionTable table(2);
  const std::string cds = "/upnp/event/cds";
  const std::string a = table.add(kHost, cds, 60, 0);
  const std::string b = table.add(kHost, cds, 60, 0);
  const std::regex form("uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(a, form)) << a;
  EXPECT_NE(a, b);

  const struct {
    const char* what;
    std::string sid;
    std::string target;
    std::int64_t atMs;
    bool renewed;
  } steps[] = {
      {"within its time", a, cds, 59000, true},
      {"extended from the renewal", a, cds, 118000, true},
      {"to another service", a, "/upnp/event/cm", 1000, false},
      {"never granted", "uuid:0d9a7e2c-0000-11ef-8000-000000000001", cds, 1000, false},
      {"lapsed", b, cds, 60000, false},
      {"lapsed, and forgotten", b, cds, 1000, false},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(table.renew(step.sid, step.target, 60, step.atMs), step.renewed) << step.what;
  }

  // UNSUBSCRIBE forgets it, but only at its own service.
  table.remove(a, "/upnp/event/cm");
  EXPECT_TRUE(table.renew(a, cds, 60, 120000));
  table.remove(a, cds);
  EXPECT_FALSE(table.renew(a, cds, 60, 120000));
}

TEST(SubscriptionTable, LaterEventsGoToLiveSubscribersWithTheirNextSeq) {
  relay::SubscriptionTable table;
  const std::string cds = "/upnp/event/cds";
  relay::EventCallback to;
  to.address = kHost;
  to.host = "192.168.0.9:4000";
  to.path = "/ev";
  const std::string first = table.add(kHost, cds, 60, 0, to);
  const std::string shortLived = table.add(kHost, cds, 10, 0, to);
  table.add(kHost, cds, 60, 0);                  // no callback it may use
  table.add(kHost, "/upnp/event/cm", 60, 0, to);  // another service

  using Seqs = std::vector<std::pair<std::string, std::uint32_t>>;
  const auto seqs = [&](std::int64_t nowMs) {
    Seqs out;
    for (const auto& delivery : table.nextEvents(cds, nowMs)) {
      EXPECT_EQ(delivery.callback.path, "/ev");
      out.emplace_back(delivery.sid, delivery.seq);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  Seqs both{{first, 1}, {shortLived, 1}};
  std::sort(both.begin(), both.end());
  EXPECT_EQ(seqs(1000), both);
  EXPECT_EQ(seqs(20000), (Seqs{{first, 2}}));  // the other lapsed at 10 s
  EXPECT_EQ(table.size(), 3u);
}

TEST(SubscriptionTable, AFullTableDropsTheLapsedThenTheNearestEnd) {
  relay::SubscriptionTable table(2);
  const std::string lapsed = table.add(kHost, "/e", 60, 0);
  const std::string longer = table.add(kHost, "/e", 1800, 0);
  const std::string third = table.add(kHost, "/e", 60, 61000);  // `lapsed` goes
  EXPECT_EQ(table.size(), 2u);
  const std::string fourth = table.add(kHost, "/e", 60, 62000);  // `third` ends first
  EXPECT_EQ(table.size(), 2u);
  EXPECT_FALSE(table.renew(third, "/e", 60, 62000));
  EXPECT_TRUE(table.renew(longer, "/e", 60, 62000));
  EXPECT_TRUE(table.renew(fourth, "/e", 60, 62000));
}

// Which subscriptions survive a run of new ones from several hosts: each
// host within its quota, a full table giving way at the host that holds
// the most. The adds come a millisecond apart, so among the same times the
// older ends first.
TEST(SubscriptionTable, EachHostDisplacesItsOwnBeforeAnyOther) {
  struct Add {
    char host;
    std::uint32_t seconds;
  };
  const auto flood = [](char host, std::size_t count) {
    return std::vector<Add>(count, Add{host, 1800});
  };
  const auto join = [](std::vector<Add> first, const std::vector<Add>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
  };
  const struct {
    const char* what;
    std::size_t capacity;
    std::size_t perHost;
    std::vector<Add> adds;
    std::string kept;  // for each add: whether it is still there ('y') or not
  } cases[] = {
      {"a flood from one host leaves the other's subscription", 512, 32,
       join({{'b', 300}}, flood('a', 512)), "y" + std::string(480, 'n') + std::string(32, 'y')},
      {"a host at its quota gives up its own nearest end, not an earlier one of another",
       8,
       3,
       {{'a', 60}, {'b', 60}, {'a', 1800}, {'a', 300}, {'a', 1800}},
       "nyyyy"},
      {"a full table gives way at the biggest holder, not at the nearest end of all",
       4,
       3,
       {{'b', 60}, {'a', 1800}, {'a', 300}, {'c', 60}, {'d', 1800}},
       "yynyy"},
      {"biggest holders alike: the nearest end among them, not a smaller holder's",
       5,
       3,
       {{'a', 1800}, {'b', 300}, {'a', 1800}, {'b', 1800}, {'c', 60}, {'d', 1800}},
       "ynyyyy"},
      {"the flooder's addresses each within the quota, still the biggest give way", 6, 2,
       join(join({{'z', 60}}, flood('a', 3)), join(flood('b', 3), flood('c', 3))), "ynnynyynyy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.kept.size(), c.adds.size());
    relay::SubscriptionTable table(c.capacity, c.perHost);
    std::vector<std::string> sids;
    std::int64_t nowMs = 0;
    for (const Add& add : c.adds) {
      sids.push_back(table.add(platform::Ipv4(add.host), "/e", add.seconds, nowMs++));
    }
    EXPECT_LE(table.size(), c.capacity);
    std::string kept;
    for (const std::string& sid : sids) kept += table.renew(sid, "/e", 60, nowMs) ? 'y' : 'n';
    EXPECT_EQ(kept, c.kept);
  }
}

TEST(Gena, CallbackIsTheSubscribersOwnHttpUrl) {
  const platform::Ipv4 peer = platform::parseIpv4("192.168.0.9");
  const struct {
    std::string callback;
    std::optional<std::string> hostAndPath;  // "host|port|path"
  } cases[] = {
      {"<http://192.168.0.9:4000/ev>", "192.168.0.9:4000|4000|/ev"},
      {"<http://192.168.0.9/>", "192.168.0.9|80|/"},
      {"<http://192.168.0.9>", "192.168.0.9|80|/"},
      {"<HTTP://192.168.0.9:1/a?b=c#top>", "192.168.0.9:1|1|/a?b=c"},
      {"<http://192.168.0.9?x>", "192.168.0.9|80|/?x"},
      {"<http://10.0.0.1/><http://192.168.0.9:65535/2>", "192.168.0.9:65535|65535|/2"},
      {"junk <bad> <http://192.168.0.9/x> <http://192.168.0.9/y>", "192.168.0.9|80|/x"},
      // Another host, or one that is no literal address, is never called.
      {"<http://10.0.0.1:4000/ev>", std::nullopt},
      {"<http://printer.local/ev>", std::nullopt},
      {"<http://user@192.168.0.9/>", std::nullopt},
      {"<http://[::1]/>", std::nullopt},
      {"<https://192.168.0.9/>", std::nullopt},
      {"<ftp://192.168.0.9/>", std::nullopt},
      {"<http://192.168.0.9:0/>", std::nullopt},
      {"<http://192.168.0.9:65536/>", std::nullopt},
      {"<http://192.168.0.9:/>", std::nullopt},
      {"<http://192.168.0.9:80x/>", std::nullopt},
      {"<http://192.168.0.9:0000080/>", std::nullopt},
      {"<http://192.168.0.9/a b>", std::nullopt},
      {"<http://192.168.0.9/\x7f>", std::nullopt},
      {"<http://192.168.0.9/", std::nullopt},
      {"http://192.168.0.9/", std::nullopt},
      {"<>", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<relay::EventCallback> found = relay::eventCallback(c.callback, peer);
    SCOPED_TRACE(c.callback);
    ASSERT_EQ(found.has_value(), c.hostAndPath.has_value());
    if (found) {
      EXPECT_EQ(found->address, peer);
      EXPECT_EQ(found->host + "|" + std::to_string(found->port) + "|" + found->path,
                *c.hostAndPath);
    }
  }
  // A peer that is not an IPv4 host (0) matches nothing, 0.0.0.0 included.
  EXPECT_FALSE(relay::eventCallback("<http://0.0.0.0/>", 0));
}

// The names of the state variables a service description marks evented.
std::vector<std::string> eventedInDescription(const std::string& scpd) {
  std::vector<std::string> names;
  const std::regex evented("<stateVariable sendEvents=\"yes\">\\s*<name>([^<]*)</name>");
  for (std::sregex_iterator it(scpd.begin(), scpd.end(), evented), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  return names;
}

std::vector<std::string> propertiesOf(const std::string& body) {
  std::vector<std::string> names;
  const std::regex property("<e:property><([^>]*)>");
  for (std::sregex_iterator it(body.begin(), body.end(), property), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  return names;
}

TEST(Gena, InitialEventCarriesEveryEventedVariable) {
  // The update ID a reload raised.
  const relay::ControlHandler control(nullptr, "192.168.0.2", 2901, 5);
  const std::string cds = relay::eventBody(control, relay::soapservice::kContentDirectory);
  const std::string cm = relay::eventBody(control, relay::soapservice::kConnectionManager);
  EXPECT_EQ(propertiesOf(cds), eventedInDescription(relay::contentDirectoryScpd()));
  EXPECT_EQ(propertiesOf(cm), eventedInDescription(relay::connectionManagerScpd()));
  EXPECT_EQ(cds,
            "<?xml version=\"1.0\"?>"
            "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">"
            "<e:property><SystemUpdateID>5</SystemUpdateID></e:property>"
            "<e:property><ContainerUpdateIDs></ContainerUpdateIDs></e:property>"
            "</e:propertyset>");
  // The values are what the actions answer.
  EXPECT_NE(cm.find("<CurrentConnectionIDs>0</CurrentConnectionIDs>"), std::string::npos) << cm;
  EXPECT_NE(cm.find("<SourceProtocolInfo>http-get:*:"), std::string::npos) << cm;
  EXPECT_EQ(relay::eventBody(control, relay::soapservice::kUnknown), "");

  relay::EventCallback to;
  to.host = "192.168.0.9:4000";
  to.path = "/ev?x=1";
  EXPECT_EQ(relay::eventMessage(to, "uuid:abc", 7, "<b/>"),
            "NOTIFY /ev?x=1 HTTP/1.1\r\nHOST: 192.168.0.9:4000\r\n"
            "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nNT: upnp:event\r\n"
            "NTS: upnp:propchange\r\nSID: uuid:abc\r\nSEQ: 7\r\nCONTENT-LENGTH: 4\r\n\r\n<b/>");
}

}  // namespace

// A subscriber that takes its NOTIFY and never answers holds none of the
// others: the first one here answers only once the two silent ones behind
// it have theirs, while the sender still waits for its answer; sent one
// after the other, the first would be given up on before they had them.
TEST(Gena, EventsGoToEverySubscriberAtOnce) {
  struct Subscriber {
    platform::Socket listener;
    platform::Socket connection;
    std::string received;
  };
  Subscriber subscribers[3];
  std::vector<relay::EventDelivery> deliveries;
  for (Subscriber& s : subscribers) {
    int error = 0;
    s.listener = platform::Socket::tcp(error);
    ASSERT_EQ(s.listener.bind(platform::parseIpv4("127.0.0.1"), 0), 0);
    ASSERT_EQ(s.listener.listen(4), 0);
    relay::EventDelivery delivery;
    ASSERT_EQ(s.listener.localAddress(delivery.to.address, delivery.to.port), 0);
    delivery.message = "NOTIFY / HTTP/1.1\r\nCONTENT-LENGTH: 0\r\n\r\n";
    deliveries.push_back(delivery);
  }
  std::mutex lock;
  std::condition_variable silentOnesHaveTheirs;
  int silentReceived = 0;
  bool firstSawTheOthers = false;
  const auto take = [](Subscriber& s) {
    s.connection = platform::Socket(::accept(s.listener.fd(), nullptr, nullptr));
    char chunk[256];
    while (s.received.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(s.connection.fd(), chunk, sizeof chunk, 0);
      if (n <= 0) return;
      s.received.append(chunk, std::size_t(n));
    }
  };
  std::thread first([&] {
    take(subscribers[0]);
    std::unique_lock hold(lock);
    const bool othersHaveTheirs = silentOnesHaveTheirs.wait_for(
        hold, std::chrono::seconds(5), [&] { return silentReceived == 2; });
    // ...while the sender still waits for this one's answer.
    char byte;
    firstSawTheOthers = othersHaveTheirs &&
                        ::recv(subscribers[0].connection.fd(), &byte, 1, MSG_DONTWAIT) < 0 &&
                        errno == EAGAIN;
    ::send(subscribers[0].connection.fd(), "HTTP/1.1 200 OK\r\n\r\n", 19, MSG_NOSIGNAL);
  });
  std::vector<std::thread> silent;
  for (int i = 1; i < 3; ++i) {
    silent.emplace_back([&, i] {
      take(subscribers[i]);
      std::lock_guard hold(lock);
      ++silentReceived;
      silentOnesHaveTheirs.notify_all();
    });
  }
  platform::Event stop(platform::Event::Reset::Manual);
  relay::sendEvents(deliveries, stop);
  first.join();
  for (std::thread& t : silent) t.join();
  EXPECT_TRUE(firstSawTheOthers);
  for (const Subscriber& s : subscribers) EXPECT_EQ(s.received, deliveries[0].message);
}
