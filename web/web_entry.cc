#include "web/web_entry.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/parse_number.h"
#include "engine/http_engine.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "web/page_framing.h"
#include "web/php_gateway.h"
#include "web/static_files.h"
#include "web/web_options.h"

namespace web {

using platform::writeLine;

engine::HttpEngineSettings webServerSettings(const WebOptions& options, std::uint16_t port,
                                             int phpTimeoutMs) {
  const platform::Ipv4 listenAddress =
      options.listenInterface.empty() ? 0 : platform::parseIpv4(options.listenInterface);
  engine::HttpEngineSettings settings = engine::webEngineSettings(listenAddress, port);
  settings.printConnections = !options.quiet;
  settings.compressionEnabled = true;
  settings.framing = framePage;

  auto site = std::make_shared<SiteSettings>();
  site->servePath = options.servePath;
  site->rootDocument = options.rootDocument;
  site->compressionEnabled = settings.compressionEnabled;
  site->phpCgiPath = options.phpPath + "php-cgi";
  // Decided once: installing PHP later needs a restart.
  platform::UniqueFd php(::open(site->phpCgiPath.c_str(), O_RDONLY | O_CLOEXEC));
  site->phpAvailable = php.valid();
  if (site->phpAvailable) site->phpIni = systemPhpIni(site->phpCgiPath, phpTimeoutMs);
  site->phpHttpHost = options.phpHttpHost.empty() ? options.listenInterface : options.phpHttpHost;
  site->phpTimeoutMs = phpTimeoutMs;

  settings.handler.get = [site](std::string_view url, engine::HttpRequest& request) {
    resolveGet(url, request, *site);
  };
  settings.handler.post = [site](std::string_view url, engine::HttpRequest& request) {
    resolvePost(url, request, *site);
  };
  settings.handler.range = [](std::string_view value, engine::HttpRequest& request) {
    parseRange(value, request);
  };
  settings.handoffs[engine::webkind::kFile] = [site](engine::HttpConnection& connection,
                                                     engine::HttpRequest& request) {
    return serveFile(connection, request, *site);
  };
  settings.handoffs[engine::webkind::kPhp] = [site](engine::HttpConnection& connection,
                                                    engine::HttpRequest& request) {
    return servePhp(connection, request, *site);
  };
  return settings;
}

int runWebServer(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console) {
  showWebUsage(writeLine);
  const WebOptions options = parseWebCommandLine(args, moduleFolder());

  std::uint16_t port = 0;
  try {
    port = common::parseNumber<std::uint16_t>(options.portText);
  } catch (const common::ConversionError& error) {
    writeLine(error.what());
    return kExitBadPort;
  }

  auto engine = std::make_unique<engine::HttpEngine>(webServerSettings(options, port));
  engine->startListening();

  for (;;) {
    writeLine("Enter q to exit.");
    const platform::Console::Input input = console->read();
    if (input.stop || input.character == 'q') break;
  }
  engine->shutdownEvent().set();
  platform::sleepMs(kStopGraceMs);
  engine.reset();
  return 0;
}

}  // namespace web
