// Unique ids: the relay's event subscriptions, and its device id, which has
// to stay the same from run to run on one machine.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// A new time-based UUID in the standard lower-case text form
// (8-4-4-4-12 hexadecimal digits).
std::string newTimeUuid();

// The name-based UUID (SHA-1, version 5) of `name` in the namespace
// `namespaceUuid` (any UUID in text form), in upper case; empty when the
// namespace is no UUID.
std::string nameUuid(std::string_view namespaceUuid, std::string_view name);

// This installation's id: the first line of /etc/machine-id, trimmed; empty
// when there is none or it cannot be read.
std::string machineId();

}  // namespace platform
