// The relay's three built-in documents: the device description and the
// ConnectionManager and ContentDirectory service descriptions. They hold no
// address or port (the service links are relative), so the engine can prepare
// their bytes and compressed forms once and send the same ones to everyone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace relay {

// The device UUID when the machine has no id, and the namespace the
// relay's own device UUIDs are named in (device_uuid.h). Never change it:
// control points remember devices by it.
inline constexpr std::string_view kDeviceUuid = "5A3C9E71-4B2D-4F08-9C61-2E7D8B0A4F13";
// Part of the stream URLs handed to media clients, which keep them: fixed.
inline constexpr std::string_view kStreamPathToken = "8E4B2A7C19D54F3EA06B7C2D91E58F04";
// configId of all three documents and CONFIGID.UPNP.ORG in SSDP: control
// points may cache the documents under it.
inline constexpr std::string_view kConfigId = "18893";
// The name the media server shows, and the network tuner with it.
inline constexpr std::string_view kFriendlyName = "Quintaflume VKX UPnP Server";

// The UDN is the description's only identity; the overload puts another UUID
// there (tests use it to see that nothing else depends on it).
std::string deviceDescription();
std::string deviceDescription(std::string_view deviceUuid);
std::string connectionManagerScpd();
std::string contentDirectoryScpd();

// By document index: 0 device description (with `deviceUuid` in its UDN),
// 1 ConnectionManager, 2 ContentDirectory.
std::vector<std::string> builtInDocuments(std::string_view deviceUuid = kDeviceUuid);

}  // namespace relay
