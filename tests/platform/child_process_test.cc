#include "platform/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/event.h"

namespace platform {
namespace {

class ChildProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("child_process_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    // Nothing is left behind: no child of this process, running or zombie.
    int status;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    std::filesystem::remove_all(folder_);
  }
  std::string script(const std::string& name, const std::string& body) {
    const std::string path = (folder_ / name).string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }
  std::filesystem::path folder_;
};

TEST_F(ChildProcess, FiltersInputInItsFolder) {
  const std::string program = script("filter", "pwd; tr a-z A-Z; echo oops >&2");
  // Larger than a pipe's buffer both ways: writing and reading interleave.
  const std::string input(1 << 20, 'x');
  const ChildResult result = runFilter(program, folder_.string(), input, 10000);
  EXPECT_EQ(result.outcome, ChildOutcome::Finished);
  EXPECT_EQ(result.output, folder_.string() + "\n" + std::string(1 << 20, 'X'));
}

TEST_F(ChildProcess, ArgumentsFollowTheProgramName) {
  const std::string program = script("args", "for a in \"$0\" \"$@\"; do echo \"[$a]\"; done");
  const ChildResult result = runFilter(program, {"-c", "a b", ""}, "", "", 10000);
  EXPECT_EQ(result.outcome, ChildOutcome::Finished);
  EXPECT_EQ(result.output, "[" + program + "]\n[-c]\n[a b]\n[]\n");
}

// A child that exits without reading its input does not take this process
// with it (no SIGPIPE), even when nothing has ignored the signal yet.
TEST_F(ChildProcess, ChildThatStopsReadingEndsTheInput) {
  const std::string program = script("early", "echo done");
  const ChildResult result = runFilter(program, "", std::string(1 << 20, 'x'), 10000);
  EXPECT_EQ(result.outcome, ChildOutcome::Finished);
  EXPECT_EQ(result.output, "done\n");
}

TEST_F(ChildProcess, SignalsAndMaskAreTheDefaults) {
  // The server blocks SIGINT/SIGTERM and ignores SIGPIPE; the child must not.
  const std::string program = script("signals", "grep -E '^Sig(Blk|Ign)' /proc/self/status");
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &old);
  const auto oldPipe = ::signal(SIGPIPE, SIG_IGN);
  const ChildResult result = runFilter(program, "", "", 10000);
  ::signal(SIGPIPE, oldPipe);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);

  const unsigned long long ours =
      (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1)) | (1ull << (SIGPIPE - 1));
  unsigned long long blockedMask = ~0ull, ignoredMask = ~0ull;
  ASSERT_EQ(
      std::sscanf(result.output.c_str(), "SigBlk: %llx SigIgn: %llx", &blockedMask, &ignoredMask),
      2)
      << result.output;
  EXPECT_EQ(blockedMask & ours, 0u);
  EXPECT_EQ(ignoredMask & ours, 0u);
}

TEST_F(ChildProcess, EndsOverrunsAndStops) {
  struct Case {
    std::string body;
    bool stop;
    ChildOutcome outcome;
    std::string output;
  };
  const Case cases[] = {
      {"echo started; exec sleep 30", false, ChildOutcome::TimedOut, "started\n"},
      // A background grandchild holding the output open goes with the group.
      {"sleep 30 & echo started", false, ChildOutcome::TimedOut, "started\n"},
      {"echo started; exec sleep 30", true, ChildOutcome::Stopped, "started\n"},
      {"exec 1>&-; sleep 0.2", false, ChildOutcome::Finished, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const std::string program = script("run", c.body);
    Event stop(Event::Reset::Manual);
    std::thread stopper([&] {
      if (c.stop) {
        ::usleep(300000);
        stop.set();
      }
    });
    const ChildResult result = runFilter(program, "", "", c.stop ? 10000 : 500, &stop);
    stopper.join();
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.output, c.output);
  }
  EXPECT_EQ(runFilter((folder_ / "missing").string(), "", "x", 1000).outcome,
            ChildOutcome::NotStarted);
}

}  // namespace
}  // namespace platform
