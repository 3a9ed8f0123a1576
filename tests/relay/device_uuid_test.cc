#include "relay/upnp/device_uuid.h"

#include <gtest/gtest.h>

#include <regex>

#include "relay/upnp/descriptions.h"

namespace {

const std::string kMachine = "0123456789abcdef0123456789abcdef";

TEST(DeviceUuid, NamedAfterTheMachineAndTheListeningAddress) {
  const std::string uuid = relay::deviceUuid(kMachine, "198.18.2.1", 2901);
  // Control points know the device by it: a change of the derivation loses
  // it for every one of them. (The name-based UUID of "<machine id>
  // 198.18.2.1:2901" in the namespace kDeviceUuid.)
  EXPECT_EQ(uuid, "5F72E189-2C71-540E-B5FD-3A6C5FD7DDC4");
  EXPECT_TRUE(std::regex_match(
      uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-5[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  EXPECT_EQ(relay::deviceUuid(kMachine, "198.18.2.1", 2901), uuid);

  const std::string others[] = {
      relay::deviceUuid(kMachine, "198.18.2.2", 2901),
      relay::deviceUuid(kMachine, "198.18.2.1", 2902),
      relay::deviceUuid("fedcba9876543210fedcba9876543210", "198.18.2.1", 2901),
      std::string(relay::kDeviceUuid),
  };
  for (const std::string& other : others) EXPECT_NE(other, uuid);
  // Without a machine id, the fixed one.
  EXPECT_EQ(relay::deviceUuid("", "198.18.2.1", 2901), relay::kDeviceUuid);
}

}  // namespace
