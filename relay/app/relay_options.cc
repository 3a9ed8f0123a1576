#include "relay/app/relay_options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>

#include "common/parse_number.h"
#include "common/version.h"
#include "platform/network_cards.h"
#include "relay/app/source_fetch.h"
#include "relay/app/usage_text.h"
#include "relay/stream/rtp_reorder.h"

namespace relay {
namespace {

bool isHelpOption(const std::string& arg) {
  return arg == "-h" || arg == "-help" || arg == "--help";
}

constexpr const char kVersionOption[] = "--version";

// The option's field, or nullptr when `arg` is not a value-taking option.
std::string* valueField(RelayOptions& options, const std::string& arg) {
  if (arg == "-li") return &options.listenAddress;
  if (arg == "-lp") return &options.listenPort;
  if (arg == "-fp") return &options.forwardPort;
  if (arg == "-ri") return &options.receiveAddress;
  if (arg == "-p") return &options.playlistPath;
  if (arg == "--playlist-protocol-info") return &options.playlistProtocolInfo;
  if (arg == "--recv-timeout") return &options.recvTimeoutText;
  if (arg == "--max-fetch") return &options.maxFetchText;
  if (arg == "--refresh") return &options.refreshText;
  if (arg == "--cache") return &options.cacheDir;
  if (arg == "--epg") return &options.guidePath;
  if (arg == "--tuners") return &options.tunersText;
  if (arg == "--rejoin") return &options.rejoinText;
  if (arg == "--rtp-reorder") return &options.rtpReorderText;
  if (arg == "--allow") return &options.allowText;
  if (arg == "--admin-allow") return &options.adminAllowText;
  if (arg == "--token") return &options.token;
  if (arg == "--max-clients") return &options.maxClientsText;
  if (arg == "--max-connections-per-host") return &options.maxPerHostText;
  return nullptr;
}

// Whether --version stands as an option (not as an option's value) before
// any help option. Looked for on every command line, a short one included.
bool versionAsked(const std::vector<std::string>& args) {
  RelayOptions scratch;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == kVersionOption) return true;
    if (isHelpOption(args[i])) return false;
    if (valueField(scratch, args[i]) != nullptr) ++i;
  }
  return false;
}

bool canOpenForReading(const std::string& path) {
  // A folder opens on Linux but is no playlist.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  std::ifstream file(path, std::ios::binary);
  return file.is_open();
}

bool isPortNumber(const std::string& text) {
  std::uint16_t port;
  return common::tryParseNumber(text, port);
}

// Tokens travel in the URLs the relay writes: only characters a URL
// carries as they are.
bool isTokenText(const std::string& text) {
  if (text.empty() || text.size() > 128) return false;
  return std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
  });
}

// A count from 1 to 65535; an empty text keeps `value`.
bool readCount(const std::string& text, std::uint32_t& value) {
  if (text.empty()) return true;
  return common::tryParseNumber(text, value) && value >= 1 && value <= 65535;
}

CommandLine refuse(CommandLine line, const std::string& message,
                   const common::LineWriter& writeLine) {
  writeLine(message);
  showUsage(writeLine);
  line.exitStatus = kExitBadCommandLine;
  return line;
}

}  // namespace

bool RelayOptions::wasGiven(const std::string& option) const {
  return std::find(given.begin(), given.end(), option) != given.end();
}

CommandLine parseRelayCommandLine(const std::vector<std::string>& args,
                                  const common::LineWriter& writeLine) {
  CommandLine line;
  RelayOptions& options = line.options;

  if (versionAsked(args)) {
    writeLine("tessaran " + std::string(common::kVersion));
    line.exitStatus = 0;
    return line;
  }
  if (args.size() < 4) {
    showUsage(writeLine);
    line.usageShown = true;
    return line;
  }

  for (std::size_t i = 1; i < args.size();) {
    const std::string& arg = args[i];
    if (arg == "--without-dlna") {
      options.dlnaEnabled = false;
      ++i;
    } else if (arg == "--with-igmpsnooper") {
      options.igmpSnooperEnabled = true;
      ++i;
    } else if (arg == "--without-tuner") {
      options.tunerEnabled = false;
      ++i;
    } else if (std::string* field = valueField(options, arg)) {
      if (i + 1 >= args.size()) return refuse(line, "Missing value for option " + arg, writeLine);
      *field = args[i + 1];
      options.given.push_back(arg);
      i += 2;
    } else if (isHelpOption(arg)) {
      showUsage(writeLine);
      line.usageShown = true;
      return line;
    } else {
      ++i;
    }
  }

  // The ports are numbers the relay cannot run without: refuse them here
  // rather than fail half-way through the start.
  if (!isPortNumber(options.listenPort) || !isPortNumber(options.forwardPort)) {
    return refuse(line, common::kConversionFailedText, writeLine);
  }
  std::uint32_t maxFetchMb = 0;
  if (!options.maxFetchText.empty() &&
      (!common::tryParseNumber(options.maxFetchText, maxFetchMb) || maxFetchMb == 0)) {
    return refuse(line, kMaxFetchRefusedText, writeLine);
  }
  // At most a year: the wait is counted in milliseconds.
  std::uint32_t refreshMinutes = line.settings.refreshMinutes;
  if (!options.refreshText.empty() &&
      (!common::tryParseNumber(options.refreshText, refreshMinutes) ||
       refreshMinutes > 366u * 24 * 60)) {
    return refuse(line, kRefreshRefusedText, writeLine);
  }
  // Media centers hold a byte for it; 64 is more than any home asks for.
  std::uint32_t tunerCount = line.settings.tunerCount;
  if (!options.tunersText.empty() && (!common::tryParseNumber(options.tunersText, tunerCount) ||
                                      tunerCount < 1 || tunerCount > 64)) {
    return refuse(line, kTunersRefusedText, writeLine);
  }
  // Switches forget a membership after minutes: an hour between reports
  // would keep none.
  std::uint32_t rejoinSeconds = line.settings.rejoinSeconds;
  if (!options.rejoinText.empty() &&
      (!common::tryParseNumber(options.rejoinText, rejoinSeconds) || rejoinSeconds > 3600)) {
    return refuse(line, kRejoinRefusedText, writeLine);
  }
  std::uint32_t rtpReorder = line.settings.rtpReorderPackets;
  if (!options.rtpReorderText.empty() &&
      (!common::tryParseNumber(options.rtpReorderText, rtpReorder) ||
       rtpReorder > RtpReorder::kMostWindow)) {
    return refuse(line, kRtpReorderRefusedText, writeLine);
  }
  // A list that does not read must not leave the relay open to everyone.
  std::optional<platform::AddressList> allow, adminAllow;
  if (options.wasGiven("--allow") && !(allow = platform::AddressList::parse(options.allowText))) {
    return refuse(line, kAllowRefusedText, writeLine);
  }
  if (options.wasGiven("--admin-allow") &&
      !(adminAllow = platform::AddressList::parse(options.adminAllowText))) {
    return refuse(line, kAdminAllowRefusedText, writeLine);
  }
  if (options.wasGiven("--token") && !isTokenText(options.token)) {
    return refuse(line, kTokenRefusedText, writeLine);
  }
  std::uint32_t maxClients = line.settings.maxClients;
  if (!readCount(options.maxClientsText, maxClients)) {
    return refuse(line, kMaxClientsRefusedText, writeLine);
  }
  std::uint32_t maxPerHost = line.settings.maxConnectionsPerHost;
  if (!readCount(options.maxPerHostText, maxPerHost)) {
    return refuse(line, kMaxPerHostRefusedText, writeLine);
  }

  if (options.playlistPath.empty()) {
    writeLine("You didn't provide playlist file, DLNA server will be disabled.");
    options.dlnaEnabled = false;
  } else if (!isUrl(options.playlistPath) && !canOpenForReading(options.playlistPath)) {
    writeLine("Playalist doesn't exists, DLNA server will be disabled !!!");
    options.dlnaEnabled = false;
  }
  writeLine("Searching for network cards...");

  RelaySettings& settings = line.settings;
  settings.listenAddress =
      options.listenAddress.empty() ? 0 : platform::parseIpv4(options.listenAddress);
  settings.listenPort = common::parseNumber<std::uint16_t>(options.listenPort);
  settings.forwardPort = common::parseNumber<std::uint16_t>(options.forwardPort);
  if (options.receiveAddress.empty() || platform::isIpv4Text(options.receiveAddress)) {
    settings.receiveAddress = platform::parseIpv4(options.receiveAddress);
  } else {
    settings.receiveInterface = options.receiveAddress;
  }
  settings.recvTimeoutSeconds = recvTimeoutSeconds(options.recvTimeoutText, options.dlnaEnabled);
  if (maxFetchMb != 0) settings.maxFetchMb = maxFetchMb;
  settings.refreshMinutes = refreshMinutes;
  settings.tunerCount = std::uint8_t(tunerCount);
  settings.rejoinSeconds = rejoinSeconds;
  settings.rtpReorderPackets = rtpReorder;
  if (allow) settings.allow = *allow;
  if (adminAllow) settings.adminAllow = *adminAllow;
  settings.token = options.token;
  settings.maxClients = maxClients;
  settings.maxConnectionsPerHost = maxPerHost;
  return line;
}

int recvTimeoutSeconds(const std::string& recvTimeoutText, bool dlnaEnabled) {
  const int fallback = dlnaEnabled ? 6 : 30;
  if (recvTimeoutText.empty()) return fallback;
  std::int32_t seconds;
  if (!common::tryParseNumber(recvTimeoutText, seconds)) return fallback;
  return std::clamp(seconds, 1, 60);
}

bool resolveReceiveInterface(RelaySettings& settings) {
  if (settings.receiveInterface.empty()) return true;
  settings.receiveInterfaceIndex = platform::interfaceIndexNamed(settings.receiveInterface);
  if (settings.receiveInterfaceIndex == 0) return false;
  settings.receiveAddress = platform::firstAddressOf(settings.receiveInterface);
  return true;
}

}  // namespace relay
