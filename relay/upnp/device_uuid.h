// The media server's device UUID. Control points remember a device by it,
// so it must not change between runs; and two relays on one LAN must not
// share it, or control points take them for one device. It is therefore
// named after the machine and the address and port the relay listens on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace relay {

// The name-based UUID of `machineId` and `listenAddress`:`port` in the
// namespace kDeviceUuid, in the upper-case 8-4-4-4-12 form; kDeviceUuid
// itself when `machineId` is empty. The machine id never leaves the
// machine: only its hash is announced.
std::string deviceUuid(std::string_view machineId, std::string_view listenAddress,
                       std::uint16_t port);

}  // namespace relay
