// The relay program: read the command line, check the interfaces, start the
// services, run until q (or a stop signal), stop everything in order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/console.h"

namespace relay {

inline constexpr int kExitRefused = 1;

// Returns the process exit status: 0 after the usage or a normal stop,
// kExitRefused when no card matches -li or -ri, kExitBadCommandLine for an
// unusable command line.
int runRelay(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console);

}  // namespace relay
