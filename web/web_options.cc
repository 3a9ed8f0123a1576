#include "web/web_options.h"

#include <unistd.h>

#include <climits>

#include "common/parse_number.h"

namespace web {

std::string moduleFolder() {
  char path[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  const std::string text(path, std::size_t(n));
  const std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

void showWebUsage(const common::LineWriter& writeLine) {
  static constexpr const char* kLines[] = {
      "",
      "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+",
      "|O|r|v|o| |W|e|b| |S|e|r|v|e|r|",
      "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+",
      "",
      "Arguments:",
      " -li [ listening interface (ipV4 address) ]",
      " -lp [ listening port ]",
      " -rd [ root document] default: index.html ",
      " -sp [ folder to serve ] defualt: startup folder/www/",
      " -pp [ PHP path ] ",
      " -phh [ PHP HTTP_HOST ] default: ipv4 of listening interface",
      " -q Quiet - don't print new connections",
      " --allow [ hosts or networks served, as 192.168.1.0/24,10.0.0.5 ] default: everyone",
      " --max-connections-per-host [ open connections of one host, 1 to 65535 ] default: 64",
      "",
      ("Important: Quote paths with spaces and use forward slashes or double backslashes!\n"
       "Example: -pp \"C:\\\\Program Files\\\\PHP\\\\\" or -pp \"C:/Program Files/PHP/\"\n\n"),
  };
  for (const char* line : kLines) writeLine(line);
}

std::optional<WebAccess> readWebAccess(const WebOptions& options, std::string& refusal) {
  WebAccess access;
  if (options.allowText) {
    std::optional<platform::AddressList> allow = platform::AddressList::parse(*options.allowText);
    if (!allow) {
      refusal = kAllowRefusedText;
      return std::nullopt;
    }
    access.allow = std::move(*allow);
  }
  if (options.maxPerHostText) {
    std::uint32_t most = 0;
    if (!common::tryParseNumber(*options.maxPerHostText, most) || most < 1 || most > 65535) {
      refusal = kMaxPerHostRefusedText;
      return std::nullopt;
    }
    access.maxConnectionsPerHost = most;
  }
  return access;
}

WebOptions parseWebCommandLine(const std::vector<std::string>& args,
                               const std::string& programFolder) {
  WebOptions options;
  options.servePath = programFolder + "www/";
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-q") {
      options.quiet = true;
      continue;
    }
    if (arg == "--version") {
      options.versionAsked = true;
      continue;
    }
    std::optional<std::string>* given = arg == "--allow" ? &options.allowText
                                        : arg == "--max-connections-per-host"
                                            ? &options.maxPerHostText
                                            : nullptr;
    if (given != nullptr) {
      if (i + 1 < args.size()) *given = args[++i];
      continue;
    }
    std::string* field = arg == "-li"    ? &options.listenInterface
                         : arg == "-lp"  ? &options.portText
                         : arg == "-rd"  ? &options.rootDocument
                         : arg == "-pp"  ? &options.phpPath
                         : arg == "-sp"  ? &options.servePath
                         : arg == "-phh" ? &options.phpHttpHost
                                         : nullptr;
    if (field == nullptr || i + 1 >= args.size()) continue;
    *field = args[++i];
  }
  return options;
}

}  // namespace web
