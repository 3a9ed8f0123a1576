// The tuner's lineup as media centers read it: numbers as strings, the
// channels the relay can stream, text escaped by the JSON writer.
#include "relay/tuner/tuner_lineup.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

TEST(TunerLineup, NumbersUrlsAndWhichChannelANumberNames) {
  relay::ChannelList list;
  list.loadText(
      "#EXTM3U\n"
      "#EXTINF:7 tvg-chno=\"5.1\",Quote \" and back\\slash\nudp://@239.1.1.1:5000\n"
      "#EXTINF:2,Plain\nrtp://@239.1.1.2:5000\n"
      "#EXTINF:3,Not multicast\nudp://@10.0.0.1:5000\n"
      "#EXTINF:2,Same number\nudp://@239.1.1.4:5000\n"
      "#EXTINF:-,No number\nudp://@239.1.1.5:5000\n"
      "#EXTINF:8,One sender\nudp://198.18.1.1@232.1.1.8:5000\n"
      "#EXTINF:9,No sender\nudp://232.1.1.1@232.1.1.9:5000\n");
  const nlohmann::json lineup = nlohmann::json::parse(relay::lineupJson(&list, "http://h:1"));
  // In the list's order (by number); a number shared stays in each row.
  EXPECT_EQ(
      lineup.dump(),
      R"([{"GuideName":"Plain","GuideNumber":"2","URL":"http://h:1/auto/v2"},)"
      R"({"GuideName":"Same number","GuideNumber":"2","URL":"http://h:1/auto/v2"},)"
      R"({"GuideName":"Quote \" and back\\slash","GuideNumber":"5.1","URL":"http://h:1/auto/v5.1"},)"
      R"({"GuideName":"One sender","GuideNumber":"8","URL":"http://h:1/auto/v8"}])");

  const struct {
    const char* number;
    const char* address;  // [source@]group; nullptr: none
  } rows[] = {
      {"5.1", "239.1.1.1"},
      {"2", "239.1.1.2"},  // the first of those that share it
      {"7", nullptr},      // the number a tvg-chno replaced
      {"3", nullptr},      // not a group the relay can join
      {"8", "198.18.1.1@232.1.1.8"},
      {"9", nullptr},  // a group as its source
      {"", nullptr},
      {"99", nullptr},
  };
  for (const auto& row : rows) {
    const relay::Channel* channel = relay::tunerChannel(&list, row.number);
    EXPECT_EQ(channel ? (channel->source.empty() ? "" : channel->source + "@") + channel->address
                      : "none",
              row.address ? row.address : "none")
        << row.number;
  }
  EXPECT_EQ(relay::lineupJson(nullptr, "http://h:1"), "[]");
  // With --token each URL carries it.
  EXPECT_EQ(nlohmann::json::parse(relay::lineupJson(&list, "http://h:1", "s3cret"))[3]["URL"],
            "http://h:1/auto/v8?token=s3cret");
}

TEST(TunerLineup, DiscoverCarriesTheIdentityWithItsTypes) {
  relay::TunerDevice device;
  device.identity.deviceId = 0x1234ABCD;
  device.identity.tunerCount = 4;
  device.identity.deviceAuth = "auth";
  device.friendlyName = "Relay";
  device.firmwareVersion = "1.0.0";
  const nlohmann::json discover = nlohmann::json::parse(relay::discoverJson(device, "http://h:1"));
  EXPECT_EQ(discover["DeviceID"], "1234ABCD");
  EXPECT_TRUE(discover["TunerCount"].is_number());
  EXPECT_EQ(discover["TunerCount"], 4);
  EXPECT_EQ(discover["LineupURL"], "http://h:1/lineup.json");
}

}  // namespace
