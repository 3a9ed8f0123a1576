#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/wait.h"

namespace {

using platform::Event;
using platform::waitAny;
using platform::WaitItem;
using platform::WaitStatus;

// Starts `count` threads that each wait once on `event` for `timeoutMs`
// and returns how many of them were woken.
int wakeCount(Event& event, int count, int timeoutMs, const std::function<void()>& signal) {
  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&] {
      ++waiting;
      if (event.wait(timeoutMs)) ++woken;
    });
  }
  while (waiting.load() < count) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them reach poll
  signal();
  for (std::thread& t : threads) t.join();
  return woken.load();
}

TEST(Event, ManualResetWakesEveryWaiterAndStaysSet) {
  Event event(Event::Reset::Manual);
  ASSERT_TRUE(event.valid());
  EXPECT_EQ(wakeCount(event, 3, 2000, [&] { event.set(); }), 3);
  EXPECT_TRUE(event.wait(0));
  EXPECT_TRUE(event.wait(0));
  event.reset();
  EXPECT_FALSE(event.wait(0));
}

TEST(Event, AutoResetWakesExactlyOneWaiter) {
  Event event(Event::Reset::Auto);
  EXPECT_EQ(wakeCount(event, 3, 300, [&] { event.set(); }), 1);
  EXPECT_FALSE(event.wait(0));  // consumed by the one waiter
}

TEST(Event, AutoResetDoesNotQueueRepeatedSets) {
  Event event(Event::Reset::Auto);
  event.set();
  event.set();
  EXPECT_TRUE(event.wait(0));
  EXPECT_FALSE(event.wait(0));
}

TEST(Event, InitiallySetAndTimeout) {
  Event set(Event::Reset::Manual, true);
  EXPECT_TRUE(set.wait(0));
  Event unset(Event::Reset::Auto);
  const WaitItem items[] = {WaitItem::event(unset)};
  EXPECT_EQ(waitAny(items, 30).status, WaitStatus::Timeout);
}

TEST(WaitAny, LowestReadyIndexWins) {
  Event first(Event::Reset::Manual);
  Event second(Event::Reset::Manual);
  Event third(Event::Reset::Auto);
  second.set();
  third.set();
  const WaitItem items[] = {WaitItem::event(first), WaitItem::event(second),
                            WaitItem::event(third)};
  auto result = waitAny(items, 0);
  EXPECT_EQ(result.status, WaitStatus::Signalled);
  EXPECT_EQ(result.index, 1u);
  second.reset();
  result = waitAny(items, 0);
  EXPECT_EQ(result.index, 2u);
  EXPECT_EQ(waitAny(items, 0).status, WaitStatus::Timeout);  // the auto event was consumed
}

TEST(WaitAny, SocketReadinessMixedWithEvents) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  platform::UniqueFd a(pair[0]);
  platform::UniqueFd b(pair[1]);
  Event shutdown(Event::Reset::Manual);
  const WaitItem readItems[] = {WaitItem::event(shutdown), WaitItem::readable(a.get())};
  EXPECT_EQ(waitAny(readItems, 20).status, WaitStatus::Timeout);

  // Data arriving from another thread ends the wait on the socket's index.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(::send(b.get(), "x", 1, 0), 1);
  });
  auto result = waitAny(readItems, 5000);
  writer.join();
  EXPECT_EQ(result.status, WaitStatus::Signalled);
  EXPECT_EQ(result.index, 1u);

  // The shutdown event comes before the socket when both are ready.
  shutdown.set();
  EXPECT_EQ(waitAny(readItems, 0).index, 0u);

  const WaitItem writeItems[] = {WaitItem::writable(a.get())};
  EXPECT_EQ(waitAny(writeItems, 0).status, WaitStatus::Signalled);

  // A peer that went away makes the socket ready, so the reader learns of it.
  b.reset();
  const WaitItem hangup[] = {WaitItem::readable(a.get())};
  EXPECT_EQ(waitAny(hangup, 1000).status, WaitStatus::Signalled);
}

TEST(WaitAny, InvalidItemsFailInsteadOfBlocking) {
  const WaitItem badFd[] = {WaitItem::readable(-1)};
  EXPECT_EQ(waitAny(badFd, -1).status, WaitStatus::Failed);
  int closedFd;
  {
    platform::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    closedFd = fd.get();
  }
  const WaitItem stale[] = {WaitItem::readable(closedFd)};
  EXPECT_EQ(waitAny(stale, 1000).status, WaitStatus::Failed);
}

}  // namespace
