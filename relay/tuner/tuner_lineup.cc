#include "relay/tuner/tuner_lineup.h"

#include <nlohmann/json.hpp>

#include "relay/upnp/playlist_export.h"

namespace relay {
namespace {

using nlohmann::json;

// Only channels the relay can stream.
bool streamable(const Channel& channel) {
  return !streamAddressText(channel).empty();
}

// Text from a playlist may hold any bytes; the list cleaned it to UTF-8, and
// anything else is replaced rather than thrown over.
std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string discoverJson(const TunerDevice& device, std::string_view base) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", unsigned(device.identity.deviceId));
  const std::string baseUrl(base);
  return dump({
      {"FriendlyName", device.friendlyName},
      {"Manufacturer", "Silicondust"},
      {"ModelNumber", "HDTC-2US"},
      {"FirmwareName", "hdhomeruntc_atsc"},
      {"FirmwareVersion", device.firmwareVersion},
      {"DeviceID", id},
      {"DeviceAuth", device.identity.deviceAuth},
      {"BaseURL", baseUrl},
      {"LineupURL", baseUrl + "/lineup.json"},
      {"TunerCount", int(device.identity.tunerCount)},
  });
}

std::string guideNumberOf(const Channel& channel) {
  if (!channel.tvgChno.empty()) return channel.tvgChno;
  if (channel.number != kUnnumbered) return std::to_string(channel.number);
  return {};
}

std::string lineupJson(const ChannelList* channels, std::string_view base, std::string_view token) {
  const std::string query = tokenQuery(token);
  json lineup = json::array();
  if (channels != nullptr) {
    for (const Channel& channel : channels->channels) {
      const std::string number = guideNumberOf(channel);
      if (number.empty() || !streamable(channel)) continue;
      lineup.push_back({{"GuideNumber", number},
                        {"GuideName", channel.title},
                        {"URL", std::string(base) + "/auto/v" + number + query}});
    }
  }
  return dump(lineup);
}

std::string lineupStatusJson() {
  return R"({"ScanInProgress":0,"ScanPossible":1,"Source":"Cable","SourceList":["Cable"]})";
}

const Channel* tunerChannel(const ChannelList* channels, std::string_view guideNumber) {
  if (channels == nullptr || guideNumber.empty()) return nullptr;
  for (const Channel& channel : channels->channels) {
    if (guideNumberOf(channel) == guideNumber) return streamable(channel) ? &channel : nullptr;
  }
  return nullptr;
}

}  // namespace relay
