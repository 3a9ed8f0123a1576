#include "platform/address_list.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(AddressList, ReadsListsAndRefusesAnythingElse) {
  struct Row {
    const char* text;
    const char* shown;  // nullptr: refused
  };
  const Row rows[] = {
      {"192.168.1.0/24", "192.168.1.0/24"},
      {"10.0.0.7", "10.0.0.7/32"},
      {"192.168.1.77/24", "192.168.1.0/24"},  // host bits cleared
      {"127.0.0.0/8,192.168.0.0/16", "127.0.0.0/8,192.168.0.0/16"},
      {"0.0.0.0/0", "0.0.0.0/0"},
      {"", nullptr},
      {",", nullptr},
      {"10.0.0.0/24,", nullptr},
      {"10.0.0.0/33", nullptr},
      {"10.0.0.0/", nullptr},
      {"10.0.0.0/-1", nullptr},
      {"10.0.0.0/8x", nullptr},
      {"10.0.0", nullptr},
      {"010.0.0.1", nullptr},
      {"10.0.0.256", nullptr},
      {"host.example", nullptr},
      {" 10.0.0.1", nullptr},
  };
  for (const Row& row : rows) {
    const std::optional<AddressList> list = AddressList::parse(row.text);
    ASSERT_EQ(list.has_value(), row.shown != nullptr) << row.text;
    if (list) {
      EXPECT_EQ(list->text(), row.shown) << row.text;
    }
  }
}

TEST(AddressList, ContainsHostsOfItsNetworksOnly) {
  const AddressList list = *AddressList::parse("192.168.1.0/24,10.1.2.3");
  struct Row {
    const char* host;
    bool in;
  };
  const Row rows[] = {{"192.168.1.0", true},     {"192.168.1.255", true}, {"192.168.2.1", false},
                      {"10.1.2.3", true},        {"10.1.2.4", false},     {"0.0.0.0", false},
                      {"255.255.255.255", false}};
  for (const Row& row : rows) EXPECT_EQ(list.contains(parseIpv4(row.host)), row.in) << row.host;
  EXPECT_TRUE(AddressList().contains(parseIpv4("203.0.113.9")));
  EXPECT_FALSE(AddressList().restricts());
  EXPECT_TRUE(AddressList::parse("0.0.0.0/0")->contains(parseIpv4("203.0.113.9")));
}

}  // namespace
}  // namespace platform
