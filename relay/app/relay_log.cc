#include "relay/app/relay_log.h"

#include "common/utf8.h"
#include "platform/clock.h"

namespace relay {

void RelayLog::appendLog(std::string_view message) {
  std::string line = platform::localTimeText();
  line += ' ';
  line += common::cleanUtf8(message);
  line += "\r\n";
  std::lock_guard guard(lock_);
  lines_.push_back(std::move(line));
  if (lines_.size() > kMaxLines) lines_.pop_front();
}

std::string RelayLog::logText() const {
  std::lock_guard guard(lock_);
  std::string text;
  for (const std::string& line : lines_) text += line;
  return text;
}

RelayLog& relayLog() {
  static RelayLog log;
  return log;
}

}  // namespace relay
