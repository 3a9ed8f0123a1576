// Clocks: a monotonic millisecond count for time-outs, wall-clock seconds,
// and the local time of day as the event log writes it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace platform {

std::int64_t monotonicMs();
std::int64_t unixSeconds();
void sleepMs(std::int64_t ms);

// "HH:MM:SS" in local time, two digits each.
std::string localTimeText(std::time_t when);
std::string localTimeText();

}  // namespace platform
