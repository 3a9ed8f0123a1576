// The operating-system token that heads the Server headers: the system's
// name, "/", and its major and minor version, e.g. "Linux/6.1".
#pragma once

#include <string>

namespace platform {

std::string serverToken();

// The token made from uname's fields; exposed for tests.
std::string serverTokenFrom(const std::string& sysname, const std::string& release);

}  // namespace platform
