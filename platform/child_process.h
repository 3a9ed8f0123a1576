// Running an outside program as a filter: the input goes to its standard
// input, its standard output comes back whole. Standard error goes to
// /dev/null, the environment is ours, the working folder is given.
//
// The child gets its own process group, default signal handling and an empty
// signal mask (ours blocks the stop signals for the console). It is always
// reaped before the call returns: when it overruns its time or the stop
// event is set, the whole group is killed first.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Event;

enum class ChildOutcome {
  Finished,    // the child closed its output and exited
  NotStarted,  // the program could not be started (output empty)
  TimedOut,    // killed after timeoutMs
  Stopped,     // killed because `stop` was set
};

struct ChildResult {
  ChildOutcome outcome = ChildOutcome::NotStarted;
  std::string output;
};

ChildResult runFilter(const std::string& program, const std::string& workingFolder,
                      std::string_view input, int timeoutMs, Event* stop = nullptr);

// The same with command-line arguments after the program's own name.
ChildResult runFilter(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingFolder, std::string_view input, int timeoutMs,
                      Event* stop = nullptr);

}  // namespace platform
