#include <memory>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/resource_limits.h"
#include "web/web_entry.h"

int main(int argc, char** argv) {
  platform::raiseDescriptorLimit();
  // Before any thread starts, so that every thread leaves SIGINT and SIGTERM
  // to the console.
  std::shared_ptr<platform::Console> console = platform::Console::open();
  return web::runWebServer(std::vector<std::string>(argv, argv + argc), std::move(console));
}
