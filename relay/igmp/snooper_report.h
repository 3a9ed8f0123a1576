// Where the snooper's messages go: the console and the RelayLog. A message
// is made once, as a Report that holds what each of the two gets. The texts
// were fixed before this code and differ in a few set ways (a trailing
// blank on the console, an error code on one side only); the forms below
// are those ways, so that a message's two texts cannot drift apart.
#pragma once

#include <string>
#include <string_view>

#include "common/line_writer.h"

namespace relay {

struct Report {
  std::string console;  // empty: not written
  std::string log;      // empty: not written

  // The same line on both.
  static Report both(std::string line);
  // The console's line ends in a blank, the log's does not.
  static Report blankOnConsole(const std::string& line);
  // `text` followed by the error code, on both.
  static Report error(std::string_view text, int code);
  // `text` followed by the code on the console; `logLine` on the log.
  static Report error(std::string_view text, int code, std::string_view logLine);
  // `text` followed by the code, on the console only.
  static Report consoleError(std::string_view text, int code);
};

// Writes each side of a report to its writer; a side without a writer (in
// tests) is dropped.
struct Reporter {
  common::LineWriter console;  // one console line per call
  common::LineWriter log;      // one RelayLog line per call

  void operator()(const Report& report) const;
};

}  // namespace relay
