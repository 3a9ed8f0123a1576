// The network tuner's HTTP side, as media centers read it: the device
// (discover.json), its channels (lineup.json), the scan state
// (lineup_status.json), and which channel a tuner URL ("/auto/vNUMBER")
// names. Written from the channel list served at the moment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "relay/tuner/discovery_packet.h"
#include "relay/upnp/channel_list.h"

namespace relay {

// The same identity the discovery replies carry, with the name shown.
struct TunerDevice {
  TunerIdentity identity;
  std::string friendlyName;
  std::string firmwareVersion;
};

// `base` is "http://address:port" where the client reached the relay.
std::string discoverJson(const TunerDevice& device, std::string_view base);
// With `token` (--token) each channel's URL carries it.
std::string lineupJson(const ChannelList* channels, std::string_view base,
                       std::string_view token = {});
std::string lineupStatusJson();

// The number a channel goes by: its tvg-chno, else its number; empty for a
// channel with neither, which the lineup leaves out.
std::string guideNumberOf(const Channel& channel);

// The channel `guideNumber` names, the first of the list when several
// share it; null when none does or the relay cannot stream it
// (streamAddressText).
const Channel* tunerChannel(const ChannelList* channels, std::string_view guideNumber);

}  // namespace relay
