#include "platform/console.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

namespace {

std::int64_t threadCpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return std::int64_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
         usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

TEST(Console, ReadsOneCharacterAtATimeThenWaitsQuietlyAtEnd) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  platform::UniqueFd readEnd(pipeFds[0]);
  platform::UniqueFd writeEnd(pipeFds[1]);
  auto console = platform::Console::open(readEnd.get());

  ASSERT_EQ(::write(writeEnd.get(), "xq\n", 3), 3);
  writeEnd.reset();  // end of input after three characters

  std::string seen;
  bool stopped = false;
  std::int64_t cpuAtEnd = 0;
  std::thread reader([&] {
    for (int i = 0; i < 3; ++i) {
      const auto input = console->read();
      if (input.stop) return;
      seen += input.character;
    }
    const std::int64_t before = threadCpuMicros();
    stopped = console->read().stop;  // blocks at the end of input
    cpuAtEnd = threadCpuMicros() - before;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  console->interrupt();
  reader.join();

  EXPECT_EQ(seen, "xq\n");
  EXPECT_TRUE(stopped);
  // A reader spinning on the closed input would burn the whole 300 ms.
  EXPECT_LT(cpuAtEnd, 100000);
}

}  // namespace
