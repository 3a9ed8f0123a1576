#include "platform/os_token.h"

#include <sys/utsname.h>

#include <cstdio>

namespace platform {

std::string serverTokenFrom(const std::string& sysname, const std::string& release) {
  unsigned major = 0;
  unsigned minor = 0;
  // A release like "6.1.0-18-amd64"; whatever is missing counts as 0.
  std::sscanf(release.c_str(), "%u.%u", &major, &minor);
  return sysname + "/" + std::to_string(major) + "." + std::to_string(minor);
}

std::string serverToken() {
  utsname names{};
  if (::uname(&names) != 0) return serverTokenFrom("Linux", "");
  return serverTokenFrom(names.sysname, names.release);
}

}  // namespace platform
