// The web server's command line: options, defaults and the usage block.
#pragma once

#include <string>
#include <vector>

#include "common/line_writer.h"

namespace web {

struct WebOptions {
  std::string listenInterface = "127.0.0.1";
  std::string portText = "80";
  std::string rootDocument = "index.html";
  std::string phpPath = "/usr/bin/";
  std::string servePath;  // the program's folder + "www/" unless given
  std::string phpHttpHost;
  bool quiet = false;
  bool versionAsked = false;  // --version: the name and version alone, then exit
};

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
