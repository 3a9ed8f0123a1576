// The relay's command line: options, the argument walk and the receive
// time-out rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/line_writer.h"
#include "platform/socket.h"

namespace relay {

struct RelayOptions {
  std::string listenAddress = "127.0.0.1";
  std::string listenPort = "2901";
  std::string forwardPort = "0";
  std::string receiveAddress = "127.0.0.1";
  std::string playlistPath;
  std::string playlistProtocolInfo;
  std::string recvTimeoutText;
  std::string maxFetchText;
  std::string refreshText;  // --refresh: minutes between reloads
  std::string cacheDir;     // empty: no cache
  std::string guidePath;    // --epg: an XMLTV file
  std::string tunersText;   // --tuners: streams the tuner offers at once
  std::string rejoinText;   // --rejoin: seconds between reports of the groups received

  // --rtp-reorder: the RTP reorder window
  std::string rtpReorderText;
  bool dlnaEnabled = true;
  bool igmpSnooperEnabled = false;
  bool tunerEnabled = true;  // false: --without-tuner
};

// The options the services run with, read once the walk has accepted them.
// Addresses in network order.
struct RelaySettings {
  platform::Ipv4 listenAddress = 0;  // 0 when -li is empty: every interface
  std::uint16_t listenPort = 0;
  std::uint16_t forwardPort = 0;  // 0: each group's own port
  // -ri's address; with a name, the one the interface held at start (0: none).
  platform::Ipv4 receiveAddress = 0;
  int recvTimeoutSeconds = 0;
  // --max-fetch in MB, when given (see source_fetch.h for what it bounds).
  std::optional<std::uint32_t> maxFetchMb;
  // Minutes between reloads of the playlist and guide; 0: only on SIGHUP.
  std::uint32_t refreshMinutes = 720;
  // What the network tuner says it has (--tuners).
  std::uint8_t tunerCount = 4;
  // Seconds between reports of every group received, upstream on -ri; 0:
  // only the kernel's own.
  std::uint32_t rejoinSeconds = 0;
  // -ri as an interface name (a text inet_addr does not read), else empty;
  // its index, 0 until resolveReceiveInterface found it. Memberships name
  // the interface by this index, so they follow its address when it changes.
  std::string receiveInterface{};
  int receiveInterfaceIndex = 0;
  // RTP datagrams a receiver holds to put them back in order; 0: off.
  std::uint32_t rtpReorderPackets = 32;
};

struct CommandLine {
  // As typed: the card list compares the addresses as text.
  RelayOptions options;
  RelaySettings settings;
  bool usageShown = false;
  // Set when the program ends with the walk: 0 after --version, and
  // kExitBadCommandLine when the command line is refused.
  std::optional<int> exitStatus;
};

inline constexpr int kExitBadCommandLine = 2;
inline constexpr const char kMaxFetchRefusedText[] =
    "--max-fetch takes a whole number of megabytes, 1 or more";
inline constexpr const char kRefreshRefusedText[] =
    "--refresh takes a whole number of minutes, 0 for never";
inline constexpr const char kTunersRefusedText[] = "--tuners takes a whole number from 1 to 64";
inline constexpr const char kRejoinRefusedText[] =
    "--rejoin takes a whole number of seconds up to 3600, 0 for never";
inline constexpr const char kRtpReorderRefusedText[] =
    "--rtp-reorder takes a whole number of packets from 0 to 1024";

// Walks `args` (args[0] is the program) and writes the usage and the
// playlist messages as the walk meets them. `--version`, standing as an
// option before any help option, writes "tessaran VERSION" alone.
CommandLine parseRelayCommandLine(const std::vector<std::string>& args,
                                  const common::LineWriter& writeLine);

// How long a stream request waits for the first multicast data: 6 s with the
// media server, 30 s without; a given number is clamped to 1..60, and a
// text without a leading number keeps the default.
int recvTimeoutSeconds(const std::string& recvTimeoutText, bool dlnaEnabled);

// With -ri naming an interface: sets its index and the address it holds
// now (0 when it has none yet). False when no interface has that name; true
// when -ri is an address.
bool resolveReceiveInterface(RelaySettings& settings);

}  // namespace relay
