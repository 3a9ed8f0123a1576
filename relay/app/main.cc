#include <memory>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/resource_limits.h"
#include "relay/app/relay_entry.h"

int main(int argc, char** argv) {
  platform::raiseDescriptorLimit();
  // Before any thread starts, so that every thread leaves SIGINT and SIGTERM
  // to the console, and SIGHUP, which reloads the playlist and guide.
  std::shared_ptr<platform::Console> console = platform::Console::open(0, true);
  return relay::runRelay(std::vector<std::string>(argv, argv + argc), std::move(console));
}
