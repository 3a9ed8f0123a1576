// The relay program: read the command line, check the interfaces, start the
// services, run until q (or a stop signal), stop everything in order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/http_engine.h"
#include "platform/console.h"
#include "relay/app/relay_framing.h"
#include "relay/app/relay_options.h"

namespace relay {

inline constexpr int kExitRefused = 1;

// What a test build of the relay may change; the program itself always runs
// with the defaults and takes everything else from its command line.
struct RelayTuning {
  // The snooper's clock runs this many times faster (see SnooperSettings).
  int snooperClockScale = 1;
  // A minute of --refresh, and of the retry while a source is missing.
  std::int64_t minuteMs = 60000;
};

// The engine's connection rules for the relay: one listener, requests that
// never grow past the 8192-byte buffer, connections kept unless asked to
// close, two minutes of idle time, ten seconds for a request's head; the
// hosts `relay` allows, each with at most its number of connections open.
engine::HttpEngineSettings relayEngineSettings(platform::Ipv4 listenAddress, std::uint16_t port,
                                               const RelaySettings& relay = {});

// The stream sender behind the relay's stream requests: the group joined
// on `relay.receiveAddress`, shared with every other client of the group
// for the stream's whole life, the silent head after
// `relay.recvTimeoutSeconds`.
StreamHandoff streamHandoff(const RelaySettings& relay);

// Returns the process exit status: 0 after the usage or a normal stop,
// kExitRefused when no card matches -li or -ri, kExitBadCommandLine for an
// unusable command line.
int runRelay(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console,
             const RelayTuning& tuning = {});

}  // namespace relay
