#include "platform/socket_io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/unique_fd.h"
#include "platform/wait.h"

namespace {

using platform::DatagramStatus;
using platform::Event;
using platform::SendStatus;
using platform::UniqueFd;
using platform::WaitItem;

struct Pair {
  UniqueFd sender;
  UniqueFd peer;
};

Pair socketPair(int type) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0);
  Pair pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
  const timeval limit{5, 0};  // a reader never hangs the test
  ::setsockopt(pair.peer.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return pair;
}

// More than the socket pair buffers, so that a peer that does not read
// fills them.
const std::string kLarge = [] {
  std::string bytes(4 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 + i / 251);
  return bytes;
}();

TEST(SendAll, SaysWhatEndedTheSend) {
  struct Case {
    const char* fault;
    std::size_t size;
    bool peerCloses;
    bool stopSet;
    bool wakeSet;
    bool keepWaiting;
    SendStatus status;
    std::size_t stop;
  };
  const Case cases[] = {
      {"a peer that holds still is not taken for a finished send", kLarge.size(), false, false,
       false, true, SendStatus::Stalled, 0},
      {"a stop is not waited past", kLarge.size(), false, true, false, true, SendStatus::Stopped,
       0},
      {"a closed peer is not waited for", kLarge.size(), true, false, false, true,
       SendStatus::PeerGone, 0},
      {"the wake's check is not ignored", kLarge.size(), false, false, true, false,
       SendStatus::Stopped, 1},
      {"a wake that lets the send go on does not end it or restart the stall limit", kLarge.size(),
       false, false, true, true, SendStatus::Stalled, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Pair pair = socketPair(SOCK_STREAM);
    if (c.peerCloses) pair.peer.reset();
    Event stop(Event::Reset::Manual);
    Event wake(Event::Reset::Auto);
    if (c.stopSet) stop.set();
    if (c.wakeSet) wake.set();
    int checks = 0;
    const WaitItem stops[] = {WaitItem::event(stop)};
    platform::SendWaits waits{stops, 200, &wake, [&] {
                                ++checks;
                                return c.keepWaiting;
                              }};
    const platform::SendResult result =
        platform::sendAll(pair.sender.get(), std::string_view(kLarge).substr(0, c.size), waits);
    EXPECT_EQ(result.status, c.status);
    EXPECT_LT(result.sent, c.size);
    if (c.status == SendStatus::Stopped) {
      EXPECT_EQ(result.stop, c.stop);
    }
    if (c.status == SendStatus::PeerGone) {
      EXPECT_EQ(result.error, EPIPE);
    }
    EXPECT_EQ(checks, c.wakeSet && !c.stopSet ? 1 : 0);
  }
}

TEST(SendAll, ASlowReaderGetsEveryByteInOrder) {
  Pair pair = socketPair(SOCK_STREAM);
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    while (received.size() < kLarge.size()) {
      const ssize_t n = ::recv(pair.peer.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return;
      received.append(buffer, std::size_t(n));
    }
  });
  platform::SendWaits waits;
  waits.stallMs = 5000;
  const platform::SendResult result = platform::sendAll(pair.sender.get(), kLarge, waits);
  reader.join();
  EXPECT_EQ(result.status, SendStatus::Sent);
  EXPECT_EQ(result.sent, kLarge.size());
  EXPECT_TRUE(received == kLarge);
}

// A window of a file reaches a slow reader whole and in order; a file
// shorter than promised is said so, after what there was.
TEST(SendFileAll, SendsTheWindowAndSaysWhenTheFileIsShort) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(kLarge.data(), 1, kLarge.size(), file), kLarge.size());
  std::fflush(file);
  const struct {
    std::uint64_t offset, length;
    SendStatus status;
    std::size_t sent;
  } cases[] = {
      {1000, 3 << 20, SendStatus::Sent, 3 << 20},
      {kLarge.size() - 10, 100, SendStatus::SourceEnded, 10},
  };
  for (const auto& c : cases) {
    Pair pair = socketPair(SOCK_STREAM);
    std::string received;
    std::thread reader([&] {
      char buffer[65536];
      while (received.size() < c.sent) {
        const ssize_t n = ::recv(pair.peer.get(), buffer, sizeof buffer, 0);
        if (n <= 0) return;
        received.append(buffer, std::size_t(n));
      }
    });
    platform::SendWaits waits;
    waits.stallMs = 5000;
    const platform::SendResult result = platform::sendFileAll(
        pair.sender.get(), ::fileno(file), c.offset, c.length, 65536, waits);
    reader.join();
    EXPECT_EQ(result.status, c.status) << c.offset;
    EXPECT_EQ(result.sent, c.sent) << c.offset;
    EXPECT_TRUE(received == kLarge.substr(c.offset, c.sent)) << c.offset;
  }
  std::fclose(file);
}

TEST(SendDatagram, AFullBufferMeansWhatTheCallerAsked) {
  struct Case {
    const char* fault;
    int roomWaitMs;
    bool stopSet;
    bool peerReadsLater;
    DatagramStatus status;
  };
  const Case cases[] = {
      {"a bounded wait is not endless", 50, false, false, DatagramStatus::Lost},
      {"a stop is not waited past", -1, true, false, DatagramStatus::Stopped},
      {"an unbounded wait does not give up before there is room", -1, false, true,
       DatagramStatus::Sent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Pair pair = socketPair(SOCK_DGRAM);
    const std::string datagram(1000, 'd');
    // Fill the way to the peer.
    for (int i = 0; i < 100000; ++i) {
      if (::send(pair.sender.get(), datagram.data(), datagram.size(), MSG_DONTWAIT) < 0) break;
    }
    ASSERT_EQ(errno, EAGAIN);
    Event stop(Event::Reset::Manual);
    if (c.stopSet) stop.set();
    Event sent(Event::Reset::Manual);
    std::thread reader([&] {
      if (!c.peerReadsLater) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      // Everything: the sender counts as writable again only once most of
      // its buffer is free.
      char buffer[2000];
      for (int i = 0; i < 100000; ++i) {
        if (::recv(pair.peer.get(), buffer, sizeof buffer, MSG_DONTWAIT) < 0) break;
      }
      // A send that still does not end is ended here, and fails the case.
      const WaitItem done[] = {WaitItem::event(sent)};
      if (platform::waitAny(done, 5000).status == platform::WaitStatus::Timeout) stop.set();
    });
    const WaitItem stops[] = {WaitItem::event(stop)};
    const platform::DatagramResult result =
        platform::sendDatagram(pair.sender.get(), datagram, nullptr, stops, c.roomWaitMs);
    sent.set();
    reader.join();
    EXPECT_EQ(result.status, c.status);
    if (c.status == DatagramStatus::Lost) {
      EXPECT_EQ(result.error, EAGAIN);
    }
  }
  // Refused at once: nothing to send with.
  EXPECT_EQ(platform::sendDatagram(-1, "x", nullptr, {}, -1).status, DatagramStatus::Refused);
}

}  // namespace
