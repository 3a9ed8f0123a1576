// The relay as the lab tests run it when they need the snooper's time to
// pass faster (refresh, group queries and lapse in seconds):
//
//   tessaran_lab SCALE RELAY-ARGUMENTS...
//
// runs the relay with its usual command line on a snooper clock SCALE (1 to
// 1000) times faster, and with minutes of --refresh as many times shorter.
// The shipped program has no such switch.
#include <memory>
#include <string>
#include <vector>

#include "common/parse_number.h"
#include "platform/console.h"
#include "platform/resource_limits.h"
#include "relay/app/relay_entry.h"

int main(int argc, char** argv) {
  platform::raiseDescriptorLimit();
  std::shared_ptr<platform::Console> console = platform::Console::open(0, true);
  relay::RelayTuning tuning;
  if (argc < 2 || !common::tryParseNumber(argv[1], tuning.snooperClockScale) ||
      tuning.snooperClockScale < 1 || tuning.snooperClockScale > 1000) {
    platform::writeLine("usage: tessaran_lab SCALE (1 to 1000) RELAY-ARGUMENTS...");
    return 2;
  }
  tuning.minuteMs = 60000 / tuning.snooperClockScale;
  std::vector<std::string> args{argv[0]};
  args.insert(args.end(), argv + 2, argv + argc);
  return relay::runRelay(args, std::move(console), tuning);
}
