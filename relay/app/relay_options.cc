#include "relay/app/relay_options.h"

#include <sys/stat.h>

#include <algorithm>
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

CommandLine refuse(CommandLine line, const std::string& message,
                   const common::LineWriter& writeLine) {
  writeLine(message);
  showUsage(writeLine);
  line.exitStatus = kExitBadCommandLine;
  return line;
}

}  // namespace

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
