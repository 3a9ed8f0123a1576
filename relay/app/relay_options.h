// The relay's command line: options, the argument walk and the receive
// time-out rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/line_writer.h"
#include "platform/address_list.h"
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
  std::string allowText;       // --allow: who may use the relay at all
  std::string adminAllowText;  // --admin-allow: who may use its commands and status
  std::string token;           // --token: what stream and list URLs must carry
  std::string maxClientsText;  // --max-clients: streams at once
  std::string maxPerHostText;  // --max-connections-per-host
  // The value-taking options the command line named, in its order: an
  // empty value given is refused where empty would mean "not given".
  std::vector<std::string> given;
  bool wasGiven(const std::string& option) const;
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
  // Hosts that get any answer at all: HTTP, SSDP, the tuner's discovery,
  // the snooper's copies. Empty: everyone.
  platform::AddressList allow{};
  // Hosts that may quit, read the log and the status pages. Empty: everyone.
  platform::AddressList adminAllow{};
  // What stream and list requests must carry (token=, or a Bearer line);
  // empty: nothing.
  std::string token{};
  // Streams running at once; past it, 503 with Retry-After.
  std::uint32_t maxClients = 256;
  // Open connections of one host; more are closed at once.
  std::uint32_t maxConnectionsPerHost = 64;
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

inline constexpr const char kAllowRefusedText[] =
    "--allow takes addresses or networks, as 192.168.1.0/24,10.0.0.5";
inline constexpr const char kAdminAllowRefusedText[] =
    "--admin-allow takes addresses or networks, as 127.0.0.0/8,192.168.1.10";
inline constexpr const char kTokenRefusedText[] =
    "--token takes 1 to 128 letters, digits and the characters - . _ ~";
inline constexpr const char kMaxClientsRefusedText[] =
    "--max-clients takes a whole number from 1 to 65535";
inline constexpr const char kMaxPerHostRefusedText[] =
    "--max-connections-per-host takes a whole number from 1 to 65535";

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
