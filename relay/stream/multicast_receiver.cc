#include "relay/stream/multicast_receiver.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/clock.h"
#include "platform/net_init.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "relay/stream/rtp_reorder.h"
#include "relay/stream/start_point.h"
#include "relay/stream/ts_probe.h"

namespace relay {
namespace {

// recvmmsg slots: room for the largest UDP payload each, so nothing is ever
// truncated. Only the pages a datagram touches become resident.
constexpr std::size_t kBatch = 16;
constexpr std::size_t kSlotBytes = 65536;
// After draining the socket the thread naps for about this many datagram
// intervals of the group's rate (at most kMostNapMs), so one wake-up takes
// several datagrams while the socket never holds more than a few.
constexpr std::int64_t kNapDatagrams = 8;
constexpr std::int64_t kMostNapMs = 10;
constexpr std::int64_t kRateSpanMs = 1000;

struct Place {
  std::shared_ptr<DatagramBlock> block;
  std::uint32_t datagram = 0;
};

}  // namespace

MulticastReceiver::MulticastReceiver(const ReceiverKey& key)
    : key_(key), shared_(std::make_shared<Shared>()) {
  platform::ensureWinsock();
}

MulticastReceiver::~MulticastReceiver() {
  stop();
}

int MulticastReceiver::createSocket() {
  if (!shared_->stopEvent.valid() || !shared_->finished.valid()) return EMFILE;
  int error = 0;
  platform::Socket socket = platform::Socket::open(SOCK_DGRAM, IPPROTO_UDP, error, true);
  if (error != 0) return error;
  if ((error = socket.setReceiveBuffer(kReceiveBufferBytes, receiveBufferGranted_)) != 0 ||
      (error = socket.setSendBuffer(0)) != 0 || (error = socket.setReuseAddress(true)) != 0) {
    return error;
  }
  // Only the group this socket joined, not every group of the host on this port.
  socket.setIntOption(IPPROTO_IP, IP_MULTICAST_ALL, 0);
  shared_->socket = std::move(socket);
  return 0;
}

int MulticastReceiver::start() {
  platform::Socket& socket = shared_->socket;
  if (!socket.valid()) return EBADF;
  if (!joined_) {
    // A failed join shows later as a silent group.
    if (key_.interfaceIndex != 0) {
      socket.setMulticastInterfaceIndex(key_.interfaceIndex);
    } else {
      socket.setMulticastInterface(key_.interfaceAddress);
    }
    socket.join(key_.group, key_.source, key_.interfaceAddress, key_.interfaceIndex);
    joined_ = true;
  }
  if (!bound_) {
    // Linux hands multicast only to sockets bound to the group (or to any
    // address); the join above picks the receiving interface.
    if (const int error = socket.bind(key_.group, key_.port); error != 0) return error;
    bound_ = true;
  }
  if (thread_.joinable()) return 0;
  return platform::startJoinable(thread_, [shared = shared_] { receivingThread(shared); });
}

void MulticastReceiver::stop() {
  if (!thread_.joinable()) return;
  shared_->stopEvent.set();
  if (shared_->finished.wait(kReceiverStopWaitMs)) {
    thread_.join();
  } else {
    thread_.detach();  // it holds its own share of what it uses
  }
}

BufferPosition MulticastReceiver::attach(bool fromStartPoint, std::uint32_t& unitOffset) const {
  const bool flowing =
      platform::monotonicMs() - shared_->lastDataMs.load(std::memory_order_relaxed) < kFlowingMs;
  std::lock_guard guard(shared_->lock);
  if (fromStartPoint && flowing && shared_->start.block) {
    unitOffset = shared_->start.offset;
    return BufferPosition{shared_->start.block, shared_->start.datagram};
  }
  unitOffset = 0;
  return BufferPosition{shared_->tail, shared_->tail->published()};
}

std::uint64_t MulticastReceiver::receivedBytes() const {
  return shared_->receivedBytes.load(std::memory_order_seq_cst);
}

void MulticastReceiver::wakeOnData(platform::Event& event) const {
  std::lock_guard guard(shared_->lock);
  shared_->wakes.push_back(&event);
  // Paired with the receiving thread's publish: either it sees this
  // request, or the caller's next look at receivedBytes() sees the data.
  shared_->waiting.store(int(shared_->wakes.size()), std::memory_order_seq_cst);
}

void MulticastReceiver::forgetWake(platform::Event& event) const {
  std::lock_guard guard(shared_->lock);
  std::erase(shared_->wakes, &event);
  shared_->waiting.store(int(shared_->wakes.size()), std::memory_order_relaxed);
}

namespace {

// Appends the datagrams the receiving thread keeps, in the order it keeps
// them, noting on the way the continuity and the start points; publish()
// then makes them visible.
class Appender final : public RtpReorder::Sink {
 public:
  explicit Appender(std::shared_ptr<DatagramBlock> block) : block_(std::move(block)) {}

  void datagram(const unsigned char* bytes, std::size_t size) override {
    const std::optional<DatagramLayout> layout = datagramLayout(bytes, size);
    if (layout) continuity_.datagram(bytes, size, *layout, found);
    if (!block_->fits(size)) {
      auto next = std::make_shared<DatagramBlock>(block_->endByte(), block_->index() + 1);
      block_->seal(next);
      block_ = std::move(next);
      newTail = true;
    }
    const std::uint32_t index = block_->written();
    block_->append(bytes, size);
    if (!layout) return;
    for (std::size_t at = layout->first; at + kTsPacketSize <= size && bytes[at] == kTsSync;
         at += layout->stride) {
      if (starts.packet(bytes + at, Place{block_, index}, std::uint32_t(at - layout->prefix))) {
        newStart = true;
      }
    }
  }

  DatagramBlock& block() { return *block_; }
  const std::shared_ptr<DatagramBlock>& share() const { return block_; }

  StartPointTracker<Place> starts;
  ContinuityCheck::Found found;
  bool newTail = false;
  bool newStart = false;

 private:
  std::shared_ptr<DatagramBlock> block_;
  ContinuityCheck continuity_;
};

// The sequence number of an RTP datagram carrying transport stream packets,
// the ones the reorder window takes.
std::optional<std::uint16_t> rtpSequence(const unsigned char* bytes, std::size_t size) {
  const std::optional<DatagramLayout> layout = datagramLayout(bytes, size);
  if (!layout || !layout->rtp || layout->first >= size || bytes[layout->first] != kTsSync) {
    return std::nullopt;
  }
  return std::uint16_t(bytes[2] << 8 | bytes[3]);
}

}  // namespace

void MulticastReceiver::receivingThread(std::shared_ptr<Shared> shared) {
  platform::raiseCurrentThreadPriority();
  const int fd = shared->socket.fd();
  std::unique_ptr<unsigned char[]> slots(new unsigned char[kBatch * kSlotBytes]);
  std::vector<mmsghdr> messages(kBatch);
  std::vector<iovec> vectors(kBatch);
  for (std::size_t i = 0; i < kBatch; ++i) {
    vectors[i] = iovec{slots.get() + i * kSlotBytes, kSlotBytes};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  std::unique_ptr<Appender> appender;
  {
    std::lock_guard guard(shared->lock);
    appender = std::make_unique<Appender>(shared->tail);
  }
  std::unique_ptr<RtpReorder> reorder;
  if (shared->rtpReorder > 0) reorder = std::make_unique<RtpReorder>(shared->rtpReorder);
  std::int64_t releaseBy = RtpReorder::kNoDeadline;  // when held datagrams must go on
  std::uint64_t startBlock = 0;
  bool hasStart = false;
  ReceiveCounters& counters = shared->counters;

  // Makes what was appended since the last call visible, and wakes the
  // clients that asked.
  const auto publish = [&](std::int64_t nowMs) {
    DatagramBlock& block = appender->block();
    block.publish();
    const std::uint64_t received = block.endByte();
    // Counted in blocks, like a client's backlog: a start point followed
    // by tiny datagrams would otherwise keep a great many of them.
    const bool stale =
        hasStart && (block.index() - startBlock + 1) * kBlockBytes > kMostStartBacklog;
    if (appender->newTail || appender->newStart || stale) {
      std::lock_guard guard(shared->lock);
      shared->tail = appender->share();
      shared->newestBlock.store(block.index(), std::memory_order_relaxed);
      if (appender->newStart) {
        const auto& point = appender->starts.latest();
        shared->start = StartPoint{point.place.block, point.place.datagram, point.offset};
        startBlock = point.place.block->index();
        hasStart = true;
        appender->starts.forgetLatest();
      } else if (stale) {
        shared->start = StartPoint{};
        hasStart = false;
      }
      appender->newTail = appender->newStart = false;
    }
    shared->lastDataMs.store(nowMs, std::memory_order_relaxed);
    shared->receivedBytes.store(received, std::memory_order_seq_cst);
    if (shared->waiting.load(std::memory_order_seq_cst) != 0) {
      std::lock_guard guard(shared->lock);
      for (platform::Event* event : shared->wakes) event->set();
      shared->wakes.clear();
      shared->waiting.store(0, std::memory_order_relaxed);
    }
    ContinuityCheck::Found& found = appender->found;
    if (found.ccErrors != 0) counters.ccErrors.fetch_add(found.ccErrors, std::memory_order_relaxed);
    if (found.rtpGaps != 0) counters.rtpGaps.fetch_add(found.rtpGaps, std::memory_order_relaxed);
    found = {};
    if (reorder) {
      const RtpReorder::Counts& counts = reorder->counts();
      counters.rtpReordered.store(counts.reordered, std::memory_order_relaxed);
      counters.rtpDuplicates.store(counts.duplicates, std::memory_order_relaxed);
      counters.rtpLost.store(counts.lost, std::memory_order_relaxed);
    }
  };

  const platform::WaitItem items[] = {platform::WaitItem::event(shared->stopEvent),
                                      platform::WaitItem::readable(fd)};
  std::int64_t napMs = 0;
  std::int64_t rateSince = platform::monotonicMs();
  std::int64_t rateCount = 0;
  bool receiving = true;
  while (receiving) {
    // While datagrams are held, no wait runs past the time they must go on.
    std::int64_t waitMs = -1;
    if (releaseBy != RtpReorder::kNoDeadline) {
      waitMs = std::max<std::int64_t>(0, releaseBy - platform::monotonicMs());
    }
    const std::int64_t nap = waitMs < 0 ? napMs : std::min(napMs, waitMs);
    if (nap > 0 && shared->stopEvent.wait(int(nap))) break;
    const platform::WaitResult ready =
        platform::waitAny(items, waitMs < 0 ? -1 : int(waitMs - nap));
    if (ready.status == platform::WaitStatus::Timeout) {
      const std::int64_t now = platform::monotonicMs();
      releaseBy = reorder->expire(now, *appender);
      publish(now);
      continue;
    }
    if (ready.status != platform::WaitStatus::Signalled || ready.index == 0) break;
    // Drain what is there, a batch per call, each batch published at once.
    for (;;) {
      const int n = ::recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (n < 0) {
        receiving = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        break;
      }
      const std::int64_t now = platform::monotonicMs();
      std::uint64_t bytes = 0;
      for (int i = 0; i < n; ++i) {
        const unsigned char* datagram = slots.get() + std::size_t(i) * kSlotBytes;
        const std::size_t size = messages[i].msg_len;
        bytes += size;
        if (reorder) {
          if (const std::optional<std::uint16_t> sequence = rtpSequence(datagram, size)) {
            reorder->push(*sequence, datagram, size, now, *appender);
            continue;
          }
        }
        appender->datagram(datagram, size);
      }
      if (reorder && (reorder->holding() || releaseBy != RtpReorder::kNoDeadline)) {
        releaseBy = reorder->expire(now, *appender);
      }
      publish(now);
      counters.datagrams.fetch_add(std::uint64_t(n), std::memory_order_relaxed);
      counters.bytes.fetch_add(bytes, std::memory_order_relaxed);
      rateCount += n;
      if (std::size_t(n) < kBatch) break;
    }
    if (const std::int64_t now = platform::monotonicMs(); now - rateSince >= kRateSpanMs) {
      // Datagrams per second over the last span, and the nap it allows.
      const std::int64_t rate = rateCount * 1000 / (now - rateSince);
      napMs = rate > 0 ? std::min(kMostNapMs, kNapDatagrams * 1000 / rate) : 0;
      rateSince = now;
      rateCount = 0;
    }
  }
  shared->socket.close();
  shared->finished.set();
}

ReceiverPool::Lease& ReceiverPool::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    reset();
    pool_ = std::exchange(other.pool_, nullptr);
    receiver_ = std::move(other.receiver_);
  }
  return *this;
}

void ReceiverPool::Lease::reset() {
  if (receiver_) pool_->release(receiver_);
  receiver_.reset();
  pool_ = nullptr;
}

ReceiverPool::Lease ReceiverPool::acquire(const ReceiverKey& key, ReceiverFailure& failure) {
  Lease lease;
  std::lock_guard guard(lock_);
  for (Entry& entry : entries_) {
    if (entry.receiver->key() == key) {
      ++entry.clients;
      lease.pool_ = this;
      lease.receiver_ = entry.receiver;
      return lease;
    }
  }
  // Socket, join, bind and thread start do not block: done under the lock,
  // two first clients of a group cannot both start a receiver.
  auto receiver = std::make_shared<MulticastReceiver>(key);
  receiver->setRtpReorder(rtpReorder_);
  if (const int error = receiver->createSocket(); error != 0) {
    failure = ReceiverFailure{ReceiverFailure::Step::Create, error};
    return lease;
  }
  if (const int error = receiver->start(); error != 0) {
    failure = ReceiverFailure{ReceiverFailure::Step::Start, error};
    return lease;
  }
  entries_.push_back(Entry{receiver, 1});
  lease.pool_ = this;
  lease.receiver_ = std::move(receiver);
  return lease;
}

void ReceiverPool::release(const std::shared_ptr<MulticastReceiver>& receiver) {
  std::shared_ptr<MulticastReceiver> last;
  {
    std::lock_guard guard(lock_);
    const auto entry = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& e) { return e.receiver == receiver; });
    if (entry == entries_.end() || --entry->clients > 0) return;
    last = std::move(entry->receiver);
    entries_.erase(entry);
  }
  // The last client leaves the group now, not when the final share goes.
  last->stop();
}

void ReceiverPool::setRtpReorder(std::uint32_t packets) {
  std::lock_guard guard(lock_);
  rtpReorder_ = packets;
}

std::size_t ReceiverPool::size() const {
  std::lock_guard guard(lock_);
  return entries_.size();
}

std::vector<ReceiverKey> ReceiverPool::keys() const {
  std::lock_guard guard(lock_);
  std::vector<ReceiverKey> keys;
  keys.reserve(entries_.size());
  for (const Entry& entry : entries_) keys.push_back(entry.receiver->key());
  return keys;
}

ReceiverPool& receiverPool() {
  // Never destroyed: a detached worker may still release at exit.
  static ReceiverPool* const pool = new ReceiverPool;
  return *pool;
}

}  // namespace relay
