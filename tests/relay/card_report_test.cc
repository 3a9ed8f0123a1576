#include "relay/app/card_report.h"

#include <gtest/gtest.h>

namespace {

struct Report {
  relay::CardMatch match;
  std::vector<std::string> lines;
};

Report report(const std::vector<std::string>& cards, const std::string& listen,
              const std::string& receive) {
  Report r;
  r.match = relay::reportNetworkCards(cards, listen, receive,
                                      [&](std::string_view line) { r.lines.emplace_back(line); });
  return r;
}

const std::vector<std::string> kHeader = {"*************************",
                                          "Available Network Cards:", "*************************"};
const char kListening[] = "   Listening interface for http server assigned.";
const char kReceiving[] = "   NIC for multicast receiver assigned.";

std::vector<std::string> withHeader(std::vector<std::string> body) {
  std::vector<std::string> all = kHeader;
  all.insert(all.end(), body.begin(), body.end());
  return all;
}

TEST(CardReport, NumberedListWithAssignments) {
  struct Case {
    std::vector<std::string> cards;
    std::string listen, receive;
    bool listenFound, receiveFound;
    std::vector<std::string> body;
  };
  const Case cases[] = {
      {{"192.168.0.2", "10.10.0.20"},
       "192.168.0.2",
       "10.10.0.20",
       true,
       true,
       {"1) 192.168.0.2", kListening, "2) 10.10.0.20", kReceiving}},
      // One card for both: the listening line comes first.
      {{"10.0.0.1"}, "10.0.0.1", "10.0.0.1", true, true, {"1) 10.0.0.1", kListening, kReceiving}},
      // Text comparison: leading zeros name no card.
      {{"192.168.0.2"},
       "192.168.000.002",
       "192.168.0.2",
       false,
       true,
       {"1) 192.168.0.2", kReceiving}},
      // A later card that does not match leaves the flags alone.
      {{"10.0.0.1", "10.0.0.2", "10.0.0.3"},
       "10.0.0.1",
       "10.0.0.2",
       true,
       true,
       {"1) 10.0.0.1", kListening, "2) 10.0.0.2", kReceiving, "3) 10.0.0.3"}},
      {{}, "127.0.0.1", "127.0.0.1", false, false, {}},
      {{"10.0.0.1"}, "10.0.0.1 ", "10.0.0.", false, false, {"1) 10.0.0.1"}},
  };
  for (const Case& c : cases) {
    const Report r = report(c.cards, c.listen, c.receive);
    SCOPED_TRACE(c.listen + " / " + c.receive);
    EXPECT_EQ(r.match.listenFound, c.listenFound);
    EXPECT_EQ(r.match.receiveFound, c.receiveFound);
    EXPECT_EQ(r.lines, withHeader(c.body));
  }
}

}  // namespace
