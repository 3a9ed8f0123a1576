#include "platform/os_token.h"

#include <gtest/gtest.h>

#include "platform/network_cards.h"
#include "platform/socket.h"

namespace {

TEST(ServerToken, NameSlashMajorDotMinor) {
  struct Case {
    const char* sysname;
    const char* release;
    const char* expected;
  };
  const Case cases[] = {
      {"Linux", "6.1.0-18-amd64", "Linux/6.1"},
      {"Linux", "5.15.153.1-microsoft-standard-WSL2", "Linux/5.15"},
      {"Linux", "6", "Linux/6.0"},
      {"Linux", "", "Linux/0.0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::serverTokenFrom(c.sysname, c.release), c.expected) << c.release;
  }
  EXPECT_TRUE(platform::serverToken().starts_with("Linux/"));
}

TEST(NetworkCards, OnlyRealIpv4AddressesAreListed) {
  std::vector<platform::NetworkCard> cards;
  platform::listNetworkCards(cards);
  for (const std::string& card : cards) {
    EXPECT_NE(card, "0.0.0.0");
    EXPECT_FALSE(card.starts_with("127.")) << card;  // loopback is never a card
    EXPECT_EQ(platform::ipv4Text(platform::parseIpv4(card)), card);
    EXPECT_FALSE(platform::interfaceNameOf(card).empty()) << card;
  }
  EXPECT_EQ(platform::interfaceNameOf("127.0.0.1"), "");
}

}  // namespace
