// Unique ids for the relay's event subscriptions.
#pragma once

#include <string>

namespace platform {

// A new time-based UUID in the standard lower-case text form
// (8-4-4-4-12 hexadecimal digits).
std::string newTimeUuid();

}  // namespace platform
