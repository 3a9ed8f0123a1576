#include "relay/igmp/snooper_report.h"

namespace relay {
namespace {

std::string withCode(std::string_view text, int code) {
  return std::string(text) + std::to_string(code);
}

}  // namespace

Report Report::both(std::string line) {
  return Report{line, line};
}

Report Report::blankOnConsole(const std::string& line) {
  return Report{line + " ", line};
}

Report Report::error(std::string_view text, int code) {
  return both(withCode(text, code));
}

Report Report::error(std::string_view text, int code, std::string_view logLine) {
  return Report{withCode(text, code), std::string(logLine)};
}

Report Report::consoleError(std::string_view text, int code) {
  return Report{withCode(text, code), {}};
}

void Reporter::operator()(const Report& report) const {
  if (console && !report.console.empty()) console(report.console);
  if (log && !report.log.empty()) log(report.log);
}

}  // namespace relay
