// The web server's command line: options, defaults and the usage block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/line_writer.h"
#include "platform/address_list.h"

namespace web {

struct WebOptions {
  std::string listenInterface = "127.0.0.1";
  std::string portText = "80";
  std::string rootDocument = "index.html";
  std::string phpPath = "/usr/bin/";
  std::string servePath;  // the program's folder + "www/" unless given
  std::string phpHttpHost;
  std::optional<std::string> allowText;       // --allow, when given
  std::optional<std::string> maxPerHostText;  // --max-connections-per-host, when given
  bool quiet = false;
  bool versionAsked = false;  // --version: the name and version alone, then exit
};

// Who may connect, and how many connections each host may hold open.
struct WebAccess {
  platform::AddressList allow{};  // empty: everyone
  std::uint32_t maxConnectionsPerHost = 64;
};

inline constexpr const char kAllowRefusedText[] =
    "--allow takes addresses or networks, as 192.168.1.0/24,10.0.0.5";
inline constexpr const char kMaxPerHostRefusedText[] =
    "--max-connections-per-host takes a whole number from 1 to 65535";

// --allow and --max-connections-per-host read, or nullopt with the line
// that says why in `refusal`: a value given that does not read must not
// leave the server open to everyone.
std::optional<WebAccess> readWebAccess(const WebOptions& options, std::string& refusal);

// The folder of the running program, ending in "/" (empty when unknown).
std::string moduleFolder();

// Printed at every start, before the arguments are read.
void showWebUsage(const common::LineWriter& writeLine);

// Walks args[1..]: the last occurrence of an option wins, unknown arguments
// are ignored, a value-taking option consumes the next argument whatever it
// is, and one standing last is ignored.
WebOptions parseWebCommandLine(const std::vector<std::string>& args,
                               const std::string& programFolder);

}  // namespace web
