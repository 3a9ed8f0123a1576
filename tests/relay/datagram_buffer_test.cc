// The chain of recent datagrams as its holders let go of it: however long,
// it is freed block by block on a small stack, and readers leaving on
// several threads at once free every block, each once. Under
// ThreadSanitizer the second case shows whether a block's link is only
// touched by whoever frees the block after every reader is done with it.
#include "relay/stream/datagram_buffer.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <functional>
#include <latch>
#include <memory>
#include <vector>

namespace relay {
namespace {

// A worker thread's stack may be this small; the chain must not need more.
constexpr std::size_t kSmallStack = 256 * 1024;
// Far more blocks than such a stack has room for frames of one destructor
// inside the next.
constexpr std::size_t kLongChain = 20000;

// Runs `work` on a thread with a small stack; false when it could not start.
bool startOnSmallStack(pthread_t& thread, std::function<void()>& work) {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
  const bool started = ::pthread_attr_setstacksize(&attributes, kSmallStack) == 0 &&
                       ::pthread_create(
                           &thread, &attributes,
                           [](void* run) -> void* {
                             (*static_cast<std::function<void()>*>(run))();
                             return nullptr;
                           },
                           &work) == 0;
  ::pthread_attr_destroy(&attributes);
  return started;
}

TEST(DatagramChain, LongChainIsFreedBlockByBlockOnASmallStack) {
  const struct {
    const char* what;
    std::vector<std::size_t> holds;  // the blocks held, each left on its own thread
  } cases[] = {
      {"the one hold on the head", {0}},
      {"readers along the chain leaving at once", {0, 1, 4999, 10000, 15000, kLongChain - 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::shared_ptr<DatagramBlock>> held;
    std::weak_ptr<DatagramBlock> first;
    std::weak_ptr<DatagramBlock> last;
    {
      const unsigned char byte = 0x47;
      auto block = std::make_shared<DatagramBlock>(0);
      first = block;
      for (std::size_t i = 0; i < kLongChain; ++i) {
        if (std::find(c.holds.begin(), c.holds.end(), i) != c.holds.end()) held.push_back(block);
        block->append(&byte, 1);
        if (i + 1 == kLongChain) break;
        auto next = std::make_shared<DatagramBlock>(block->endByte(), i + 1);
        block->seal(next);
        block = std::move(next);
      }
      last = block;
    }
    ASSERT_EQ(held.size(), c.holds.size());

    std::latch together(std::ptrdiff_t(held.size()));
    std::vector<std::function<void()>> work;
    for (std::shared_ptr<DatagramBlock>& hold : held) {
      work.emplace_back([&together, &hold] {
        together.arrive_and_wait();
        // As a reader leaves a block: it reads the link on to the next one
        // and lets go of this one, then of everything.
        BufferPosition at{std::move(hold), 0};
        at.step();
        at.ready();
        at = BufferPosition{};
      });
    }
    std::vector<pthread_t> threads(work.size());
    std::size_t started = 0;
    while (started < work.size() && startOnSmallStack(threads[started], work[started])) ++started;
    if (started < work.size()) together.count_down(std::ptrdiff_t(work.size() - started));
    for (std::size_t i = 0; i < started; ++i) ::pthread_join(threads[i], nullptr);
    ASSERT_EQ(started, work.size());
    // A block is held by the one before it: the last goes only once every
    // block before it went.
    EXPECT_TRUE(first.expired());
    EXPECT_TRUE(last.expired());
  }
}

}  // namespace
}  // namespace relay
