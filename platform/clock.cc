#include "platform/clock.h"

#include <cstdio>
#include <thread>

namespace platform {

std::int64_t monotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t unixSeconds() {
  return std::int64_t(std::time(nullptr));
}

void sleepMs(std::int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string localTimeText(std::time_t when) {
  std::tm parts{};
  ::localtime_r(&when, &parts);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string localTimeText() {
  return localTimeText(std::time(nullptr));
}

}  // namespace platform
