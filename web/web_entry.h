// The web server's run: usage, options, the engine with the site's
// handler, the console loop, and the stop with its grace period.
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
// --allow or --max-connections-per-host did not read.
inline constexpr int kExitBadAccess = 2;
inline constexpr int kStopGraceMs = 500;

// How the web server's connections behave, without a handler: loopback and
// `listenAddress` (when it is another address), a 4096-byte buffer refilled
// by each receive, 15 seconds of idle time, close unless the request asks
// to keep the connection, connection lines on every answer, and resets and
// new connections printed; ten seconds for a request's head, 64 connections
// of one host at once.
engine::HttpEngineSettings webEngineSettings(platform::Ipv4 listenAddress, std::uint16_t port);

// The engine settings for these options: listeners, the handler and the
// site, the hosts served and their connections.
engine::HttpEngineSettings webServerSettings(const WebOptions& options, std::uint16_t port,
                                             int phpTimeoutMs = kPhpTimeoutMs,
                                             const WebAccess& access = {});

int runWebServer(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console);

}  // namespace web
