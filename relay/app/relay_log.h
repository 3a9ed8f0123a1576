// The relay's event log: the last 100 lines, each "HH:MM:SS message\r\n",
// served by "/command/log". Written by stream requests and the IGMP snooper
// from many threads.
//
// Messages carry what clients sent (a request's target), so every message
// is stored as common::cleanUtf8 makes it: the log and the status pages
// that show it are valid UTF-8 with no control character but the line ends.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace relay {

class RelayLog {
 public:
  static constexpr std::size_t kMaxLines = 100;

  // One line; a message with line breaks stays one line (they are dropped).
  void appendLog(std::string_view message);
  std::string logText() const;

 private:
  mutable std::mutex lock_;
  std::deque<std::string> lines_;
};

// The one log of the process.
RelayLog& relayLog();

}  // namespace relay
