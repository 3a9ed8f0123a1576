#include "web/web_entry.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/parse_number.h"
#include "common/version.h"
#include "engine/http_engine.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "web/php_gateway.h"
#include "web/web_options.h"
#include "web/web_request.h"

namespace web {

using platform::writeLine;

engine::HttpEngineSettings webEngineSettings(platform::Ipv4 listenAddress, std::uint16_t port) {
  engine::HttpEngineSettings settings;
  const platform::Ipv4 loopback = platform::parseIpv4("127.0.0.1");
  settings.listeners = {{loopback, port}};
  if (listenAddress != 0 && listenAddress != loopback) {
    settings.listeners.push_back({listenAddress, port});
  }
  settings.bufferSize = 4096;
  settings.bufferRule = engine::BufferRule::Refilled;
  settings.idleTimeoutMs = 15000;
  settings.headTimeoutMs = 10000;
  settings.maxConnectionsPerHost = WebAccess{}.maxConnectionsPerHost;
  settings.keepAliveByDefault = false;
  settings.connectionLines = engine::ConnectionLines::Always;
  settings.printResets = true;
  settings.printConnections = true;
  return settings;
}

engine::HttpEngineSettings webServerSettings(const WebOptions& options, std::uint16_t port,
                                             int phpTimeoutMs, const WebAccess& access) {
  const platform::Ipv4 listenAddress =
      options.listenInterface.empty() ? 0 : platform::parseIpv4(options.listenInterface);
  engine::HttpEngineSettings settings = webEngineSettings(listenAddress, port);
  settings.printConnections = !options.quiet;
  settings.allow = access.allow;
  settings.maxConnectionsPerHost = access.maxConnectionsPerHost;

  auto site = std::make_shared<SiteSettings>();
  site->servePath = options.servePath;
  site->rootDocument = options.rootDocument;
  site->compressionEnabled = true;
  site->phpCgiPath = options.phpPath + "php-cgi";
  // Decided once: installing PHP later needs a restart.
  platform::UniqueFd php(::open(site->phpCgiPath.c_str(), O_RDONLY | O_CLOEXEC));
  site->phpAvailable = php.valid();
  if (site->phpAvailable) site->phpIni = systemPhpIni(site->phpCgiPath, phpTimeoutMs);
  site->phpHttpHost = options.phpHttpHost.empty() ? options.listenInterface : options.phpHttpHost;
  site->phpTimeoutMs = phpTimeoutMs;

  settings.handler = [site](engine::HttpConnection& connection, engine::HttpRequest& request) {
    WebRequest web = classifyWebRequest(request, *site);
    return answerWebRequest(connection, request, web, *site);
  };
  return settings;
}

int runWebServer(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console) {
  const WebOptions options = parseWebCommandLine(args, moduleFolder());
  if (options.versionAsked) {
    writeLine("ondrel " + std::string(common::kVersion));
    return 0;
  }
  showWebUsage(writeLine);

  std::uint16_t port = 0;
  try {
    port = common::parseNumber<std::uint16_t>(options.portText);
  } catch (const common::ConversionError& error) {
    writeLine(error.what());
    return kExitBadPort;
  }
  std::string refusal;
  const std::optional<WebAccess> access = readWebAccess(options, refusal);
  if (!access) {
    writeLine(refusal);
    return kExitBadAccess;
  }

  auto engine = std::make_unique<engine::HttpEngine>(
      webServerSettings(options, port, kPhpTimeoutMs, *access));
  engine->startListening();

  for (;;) {
    writeLine("Enter q to exit.");
    const platform::Console::Input input = console->read();
    if (input.stop || input.character == 'q') break;
  }
  engine->shutdownEvent().set();
  platform::sleepMs(kStopGraceMs);
  engine.reset();
  removeUploadFolders();
  return 0;
}

}  // namespace web
