// The web server's run: usage, options, the engine with the site's
// handlers, the console loop, and the stop with its grace period.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/http_engine.h"
#include "platform/console.h"
#include "web/site_settings.h"
#include "web/web_options.h"

namespace web {

inline constexpr int kExitBadPort = 2;
inline constexpr int kStopGraceMs = 500;

// The engine settings for these options: listeners, handlers and the site.
engine::HttpEngineSettings webServerSettings(const WebOptions& options, std::uint16_t port,
                                             int phpTimeoutMs = kPhpTimeoutMs);

int runWebServer(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console);

}  // namespace web
