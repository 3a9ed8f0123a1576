#include "relay/stream/multicast_receiver.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "relay/stream/ts_probe.h"
#include "tests/support/private_network.h"

namespace relay {
namespace {

struct Scheduling {
  int nice;
  int realTimePriority;
  int policy;
};

std::set<std::string> threadIds() {
  std::set<std::string> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.insert(entry.path().filename().string());
  }
  return ids;
}

// From /proc/self/task/ID/stat: fields 19 (nice), 40 and 41, counted from 1
// with the command name (in parentheses, blanks allowed) as field 2.
std::optional<Scheduling> schedulingOf(const std::string& id) {
  std::ifstream file("/proc/self/task/" + id + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');
  if (end == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(end + 1));
  std::vector<std::string> fields;  // from field 3 on; some do not fit a long
  for (std::string field; fields.size() < 39 && rest >> field;) fields.push_back(field);
  if (fields.size() < 39) return std::nullopt;
  return Scheduling{std::stoi(fields[16]), std::stoi(fields[37]), std::stoi(fields[38])};
}

// The receiving thread runs above the normal threads, but in the normal
// policy: a hundred streams at a real-time level would starve the machine.
TEST(MulticastReceiver, ReceivingThreadIsRaisedModestly) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may raise a thread";
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const std::set<std::string> before = threadIds();
  MulticastReceiver receiver(
      ReceiverKey{platform::parseIpv4("239.1.1.1"), 5000, platform::parseIpv4("127.0.0.1")});
  ASSERT_EQ(receiver.createSocket(), 0);
  ASSERT_EQ(receiver.start(), 0);

  std::optional<Scheduling> raised;
  ASSERT_TRUE(testsupport::eventually([&] {
    for (const std::string& id : threadIds()) {
      if (before.count(id) != 0) continue;
      const std::optional<Scheduling> s = schedulingOf(id);
      if (s && (s->nice != 0 || s->policy != SCHED_OTHER)) raised = s;
    }
    return raised.has_value();
  }));
  EXPECT_EQ(raised->policy, SCHED_OTHER);
  EXPECT_EQ(raised->realTimePriority, 0);
  EXPECT_EQ(raised->nice, -platform::kRaisedNiceSteps);
  receiver.stop();
}

// Reads every datagram published after `at` until `count` came, or ten
// seconds passed.
std::vector<std::vector<unsigned char>> readDatagrams(const MulticastReceiver& receiver,
                                                      BufferPosition at, std::size_t count) {
  std::vector<std::vector<unsigned char>> got;
  platform::Event wake(platform::Event::Reset::Auto);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (!at.ready()) {
      receiver.wakeOnData(wake);
      if (!at.ready()) wake.wait(100);
      receiver.forgetWake(wake);
      continue;
    }
    const DatagramBlock& block = *at.block;
    got.emplace_back(block.bytes() + block.begin(at.datagram),
                     block.bytes() + block.end(at.datagram));
    at.step();
  }
  return got;
}

// Two clients of one group share its receiver, each reads every datagram
// whole and in order at its own pace (one from the start while the other
// reads along), and the last one to go stops it.
TEST(ReceiverPool, ClientsOfAGroupShareItsReceiverAndReadEveryDatagram) {
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const platform::Ipv4 loopback = platform::parseIpv4("127.0.0.1");
  const ReceiverKey key{platform::parseIpv4("239.1.1.2"), 5002, loopback};
  ReceiverPool pool;
  ReceiverFailure failure;
  ReceiverPool::Lease first = pool.acquire(key, failure);
  ReceiverPool::Lease second = pool.acquire(key, failure);
  ReceiverPool::Lease otherPort = pool.acquire(ReceiverKey{key.group, 5003, loopback}, failure);
  ASSERT_TRUE(first && second && otherPort);
  EXPECT_EQ(&*first, &*second);
  EXPECT_NE(&*first, &*otherPort);
  EXPECT_EQ(pool.size(), 2u);
  const ReceiverKey otherKey{key.group, 5003, loopback};
  EXPECT_EQ(pool.keys(), (std::vector<ReceiverKey>{key, otherKey}));
  otherPort.reset();
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.keys(), std::vector<ReceiverKey>{key});

  // Sizes across block bounds: empty, tiny, the largest, many small ones
  // (more than a block's datagram count).
  std::vector<std::vector<unsigned char>> sent;
  const std::size_t sizes[] = {1316, 0, 1, 65507, 1316, 3000, 188};
  for (std::size_t i = 0; i < 700; ++i) {
    const std::size_t size = i < 600 ? sizes[i % 7] % 64 : sizes[i % 7];
    std::vector<unsigned char> datagram(size);
    for (std::size_t b = 0; b < size; ++b) datagram[b] = static_cast<unsigned char>(i + b);
    sent.push_back(std::move(datagram));
  }
  std::uint32_t offset = 0;
  const BufferPosition start = first->attach(false, offset);
  std::vector<std::vector<unsigned char>> along;
  const BufferPosition alongStart = second->attach(false, offset);
  std::thread reader([&] { along = readDatagrams(*second, alongStart, 700); });

  int error = 0;
  platform::Socket sender = platform::Socket::udp(error);
  ASSERT_EQ(error, 0);
  sender.setMulticastInterface(loopback);
  const sockaddr_in to = platform::makeSockaddr(key.group, key.port);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    ASSERT_GE(::sendto(sender.fd(), sent[i].data(), sent[i].size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              0);
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  reader.join();
  EXPECT_TRUE(along == sent);
  EXPECT_TRUE(readDatagrams(*first, start, 700) == sent);
  EXPECT_EQ(
      first->receivedBytes(),
      start.byte() + std::accumulate(sent.begin(), sent.end(), std::size_t(0),
                                     [](std::size_t n, const auto& d) { return n + d.size(); }));
  first.reset();
  EXPECT_EQ(pool.size(), 1u);
  second.reset();
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_TRUE(pool.keys().empty());
}

// The membership by address or by the interface's index (-ri naming an
// interface), for any source or one: a datagram from another source comes
// first, and only a receiver of any source reads it.
TEST(ReceiverPool, JoinsByAddressOrIndexForAnySourceOrOne) {
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const platform::Ipv4 loopback = platform::parseIpv4("127.0.0.1");
  const platform::Ipv4 other = platform::parseIpv4("127.0.0.2");
  const int lo = int(::if_nametoindex("lo"));
  ASSERT_NE(lo, 0);
  struct Case {
    platform::Ipv4 interfaceAddress;
    int interfaceIndex;
    platform::Ipv4 source;
    const char* firstRead;
  };
  const Case cases[] = {
      {loopback, 0, 0, "other"},
      {0, lo, 0, "other"},
      {loopback, 0, loopback, "chosen"},
      {0, lo, loopback, "chosen"},
  };
  std::uint16_t port = 5010;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.interfaceIndex) + " " + platform::ipv4Text(c.source));
    ReceiverKey key{platform::parseIpv4("239.1.1.3"), port++, c.interfaceAddress, c.source};
    key.interfaceIndex = c.interfaceIndex;
    ReceiverPool pool;
    ReceiverFailure failure;
    const ReceiverPool::Lease receiver = pool.acquire(key, failure);
    ASSERT_TRUE(receiver);
    std::uint32_t offset = 0;
    const BufferPosition start = receiver->attach(false, offset);
    const sockaddr_in to = platform::makeSockaddr(key.group, key.port);
    for (const auto& [from, text] : {std::pair{other, "other"}, std::pair{loopback, "chosen"}}) {
      int error = 0;
      platform::Socket sender = platform::Socket::udp(error);
      ASSERT_EQ(error, 0);
      ASSERT_EQ(sender.bind(from, 0), 0);
      sender.setMulticastInterface(from);
      ASSERT_GE(::sendto(sender.fd(), text, std::strlen(text), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to),
                0);
    }
    const auto got = readDatagrams(*receiver, start, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::string(got[0].begin(), got[0].end()), c.firstRead);
  }
}

// An RTP sender behind a link that swaps neighbours, repeats datagrams and
// loses some, across the sequence wrap, the last loss at the very end: the
// chain holds every datagram that came, in sequence order, each once (so a
// client's bytes are the sent payload less the lost datagrams), the last
// ones released by time with nothing more arriving, and the counters say
// what happened.
TEST(ReceiverReorder, RtpComesOutInSequenceOrderWithCopiesDropped) {
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const platform::Ipv4 loopback = platform::parseIpv4("127.0.0.1");
  const ReceiverKey key{platform::parseIpv4("239.1.1.5"), 5005, loopback};
  MulticastReceiver receiver(key);
  receiver.setRtpReorder(32);
  ASSERT_EQ(receiver.createSocket(), 0);
  ASSERT_EQ(receiver.start(), 0);
  std::uint32_t offset = 0;
  const BufferPosition start = receiver.attach(false, offset);

  // Datagram i: sequence 65500 + i, seven packets that name it.
  const auto datagram = [](int i) {
    const std::uint16_t sequence = std::uint16_t(65500 + i);
    // The 12-byte RTP head (timestamp and SSRC zero), then the packets.
    std::vector<unsigned char> out = {
        0x80, 33, (unsigned char)(sequence >> 8), (unsigned char)sequence, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int p = 0; p < 7; ++p) {
      const std::size_t at = out.size();
      out.resize(at + 188, (unsigned char)(i * 7 + p));
      out[at] = 0x47;
      out[at + 1] = 0x01;
      out[at + 2] = 0x00;
      out[at + 3] = (unsigned char)(0x10 | ((i * 7 + p) & 0x0f));
    }
    return out;
  };
  // Blocks of ten: 2 and 3 swapped, 5 sent twice, 8 lost in every other.
  constexpr int kBlocks = 20;
  std::vector<int> order;
  std::vector<int> kept;
  for (int b = 0; b < kBlocks; ++b) {
    for (const int k : {0, 1, 3, 2, 4, 5, 5, 6, 7, 8, 9}) {
      if (k == 8 && b % 2 == 1) continue;
      order.push_back(b * 10 + k);
    }
    for (int k = 0; k < 10; ++k) {
      if (k != 8 || b % 2 == 0) kept.push_back(b * 10 + k);
    }
  }

  int error = 0;
  platform::Socket sender = platform::Socket::udp(error);
  ASSERT_EQ(error, 0);
  sender.setMulticastInterface(loopback);
  const sockaddr_in to = platform::makeSockaddr(key.group, key.port);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::vector<unsigned char> bytes = datagram(order[i]);
    ASSERT_GE(::sendto(sender.fd(), bytes.data(), bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              0);
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  const std::vector<std::vector<unsigned char>> got = readDatagrams(receiver, start, kept.size());
  std::vector<unsigned char> payload, expected;
  for (const auto& d : got) {
    const Payload span = rtpPayload(d.data(), d.size());
    payload.insert(payload.end(), d.begin() + std::ptrdiff_t(span.offset),
                   d.begin() + std::ptrdiff_t(span.offset + span.length));
  }
  for (const int i : kept) {
    const std::vector<unsigned char> d = datagram(i);
    expected.insert(expected.end(), d.begin() + 12, d.end());
  }
  EXPECT_EQ(got.size(), kept.size());
  EXPECT_TRUE(payload == expected);
  const auto counters = receiver.counters();
  EXPECT_TRUE(testsupport::eventually([&] { return counters->rtpLost.load() == kBlocks / 2; }));
  EXPECT_EQ(counters->rtpReordered.load(), std::uint64_t(kBlocks));
  EXPECT_EQ(counters->rtpDuplicates.load(), std::uint64_t(kBlocks));
  EXPECT_EQ(counters->rtpLost.load(), std::uint64_t(kBlocks / 2));
  // After the window only the losses show: a gap each, a continuity jump each.
  EXPECT_EQ(counters->rtpGaps.load(), std::uint64_t(kBlocks / 2));
  EXPECT_EQ(counters->ccErrors.load(), std::uint64_t(kBlocks / 2));
  EXPECT_EQ(counters->datagrams.load(), order.size());
  receiver.stop();
}

// A client that does not move is too far behind once the blocks it keeps
// take the limit's memory, whatever they carry: with one-byte datagrams
// that is a few hundred kilobytes of data, not 26 MB of it (which would be
// gigabytes of blocks).
TEST(ReceiverBacklog, TinyDatagramsCountByTheBlocksTheyTake) {
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const platform::Ipv4 loopback = platform::parseIpv4("127.0.0.1");
  const ReceiverKey key{platform::parseIpv4("239.1.1.4"), 5004, loopback};
  MulticastReceiver receiver(key);
  ASSERT_EQ(receiver.createSocket(), 0);
  ASSERT_EQ(receiver.start(), 0);
  std::uint32_t offset = 0;
  const BufferPosition still = receiver.attach(false, offset);
  const std::uint64_t base = receiver.receivedBytes();

  int error = 0;
  platform::Socket sender = platform::Socket::udp(error);
  ASSERT_EQ(error, 0);
  sender.setMulticastInterface(loopback);
  const sockaddr_in to = platform::makeSockaddr(key.group, key.port);
  const unsigned char byte = 0x47;
  // A block takes kBlockDatagrams of them: the limit comes at about this
  // many. Three times as many bound the run.
  const std::uint64_t limitBlocks = kMostHeldBytes / kBlockBytes;
  const std::uint64_t atTheLimit = limitBlocks * kBlockDatagrams;
  std::uint64_t received = 0;
  bool behind = false;
  while (!behind && received < 3 * atTheLimit) {
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(
          ::sendto(sender.fd(), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 1);
    }
    // Wait (bounded) for the batch; one the socket dropped is just not counted.
    const std::uint64_t expected = received + 256;
    for (int i = 0; i < 1000 && receiver.receivedBytes() - base < expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    received = receiver.receivedBytes() - base;
    behind = receiver.tooFarBehind(still);
  }
  ASSERT_TRUE(behind) << received << " datagrams";
  EXPECT_GE(received, atTheLimit - kBlockDatagrams);
  EXPECT_LE(received, atTheLimit + 2 * kBlockDatagrams);
  EXPECT_EQ(receiver.behind(still), received);
  EXPECT_GT(receiver.heldBytes(still), kMostHeldBytes);
  receiver.stop();
}

}  // namespace
}  // namespace relay
