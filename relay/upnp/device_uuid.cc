#include "relay/upnp/device_uuid.h"

#include "platform/uuid.h"
#include "relay/upnp/descriptions.h"

namespace relay {

std::string deviceUuid(std::string_view machineId, std::string_view listenAddress,
                       std::uint16_t port) {
  if (machineId.empty()) return std::string(kDeviceUuid);
  std::string name(machineId);
  name += ' ';
  name += listenAddress;
  name += ':';
  name += std::to_string(port);
  std::string uuid = platform::nameUuid(kDeviceUuid, name);
  return uuid.empty() ? std::string(kDeviceUuid) : uuid;
}

}  // namespace relay
