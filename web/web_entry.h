// The web server's run: usage, options, the engine with the site's
// handlers, the console loop, and the stop with its grace period.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/console.h"

namespace web {

inline constexpr int kExitBadPort = 2;
inline constexpr int kStopGraceMs = 500;

int runWebServer(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console);

}  // namespace web
