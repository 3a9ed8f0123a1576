#include "relay/stream/stream_client.h"

#include <sys/uio.h>

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/socket_io.h"
#include "platform/wait.h"
#include "relay/stream/ts_probe.h"

namespace relay {
namespace {

using platform::WaitItem;
using platform::WaitStatus;

constexpr std::size_t kMostPieces = 1024;  // IOV_MAX

// The part of one datagram a client gets: all of it, or for RTP the
// transport stream packets after the header.
Payload clientSpan(const unsigned char* datagram, std::size_t size, StreamFormat format) {
  if (format != StreamFormat::Rtp) return {0, size};
  return rtpPayload(datagram, size);
}

class Streamer {
 public:
  Streamer(StreamClientSocket client, ReceiverPool::Lease receiver, SendCounters* sent)
      : fd_(client.fd),
        shutdown_(client.shutdown),
        idleMs_(client.idleMs),
        receiver_(std::move(receiver)),
        sent_(sent) {}

  bool ready() const { return wake_.valid(); }

  // Takes the client's start place and waits until the first send's worth
  // is there. False when the stream must end unanswered; `timedOut` when the
  // group stayed silent (the receiver is given up then).
  bool awaitFirstData(int timeoutMs, bool& timedOut) {
    at_ = receiver_->attach(true, unitOffset_);
    const std::int64_t deadline = platform::monotonicMs() + timeoutMs;
    timedOut = false;
    while (behind() < kFirstChunkSize) {
      const std::int64_t left = deadline - platform::monotonicMs();
      if (left <= 0) {
        timedOut = true;
        receiver_.reset();
        return true;
      }
      const WaitStatus status = awaitData(int(left), kFirstChunkSize);
      if (status != WaitStatus::Timeout) return false;
    }
    return true;
  }

  // Sends all of `text` (a head). False when the client left or sent
  // something, a send made no progress for 60 s, or the relay stops.
  bool sendHead(std::string_view text) {
    const WaitItem stops[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_)};
    platform::SendWaits waits;
    waits.stops = stops;
    waits.stallMs = kSendStallMs;
    return platform::sendAll(fd_, text, waits).status == platform::SendStatus::Sent;
  }

  // After the silent head: nothing comes, the client may only leave. It
  // is held no longer than any idle connection, or a host could keep a
  // worker thread for each one it opened.
  void awaitEnd() {
    const WaitItem items[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_)};
    platform::waitAny(items, idleMs_);
  }

  void streamData() {
    std::optional<ProbeResult> probed = probeFirstData();
    if (!probed) return;
    format_ = probed->format;
    if (sent_) sent_->format.store(int(format_), std::memory_order_relaxed);
    skipToStartUnit();
    pieces_.reserve(kMostPieces);
    std::int64_t lastProgress = platform::monotonicMs();
    for (;;) {
      if (receiver_->tooFarBehind(at_)) return;  // too slow: the others go on
      BufferPosition end = at_;
      const std::size_t total = gather(end);
      if (total == 0) {
        if (end.block != at_.block || end.datagram != at_.datagram) {
          at_ = std::move(end);  // datagrams without anything to send
          continue;
        }
        if (awaitData(kEmptyQueuePollMs) != WaitStatus::Timeout) return;
        lastProgress = platform::monotonicMs();
        continue;
      }
      const std::int64_t n = platform::sendSome(fd_, pieces_);
      if (n < 0) return;
      if (n > 0) {
        advance(std::size_t(n));
        if (sent_) sent_->bytes.fetch_add(std::uint64_t(n), std::memory_order_relaxed);
        lastProgress = platform::monotonicMs();
      }
      if (std::size_t(n) == total) {
        // Let a few datagrams gather: fewer, larger sends.
        if (pause(kCoalesceMs)) return;
        continue;
      }
      // The send buffer is full: wait for room, the stall limit and the
      // backlog limit holding meanwhile.
      const std::int64_t left = kSendStallMs - (platform::monotonicMs() - lastProgress);
      if (left <= 0) return;
      const WaitItem items[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_),
                                WaitItem::writable(fd_)};
      const platform::WaitResult ready =
          platform::waitAny(items, int(std::min<std::int64_t>(left, kEmptyQueuePollMs)));
      if (ready.status == WaitStatus::Failed) return;
      if (ready.status == WaitStatus::Signalled && ready.index < 2) return;
    }
  }

 private:
  std::uint64_t behind() const { return receiver_->behind(at_); }

  // Waits for the next published batch unless `need` bytes are there
  // already. Signalled: the client or the relay ends the stream.
  WaitStatus awaitData(int timeoutMs, std::uint64_t need = 1) {
    receiver_->wakeOnData(wake_);
    WaitStatus status = WaitStatus::Timeout;
    if (behind() < need) {
      const WaitItem items[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_),
                                WaitItem::event(wake_)};
      const platform::WaitResult ready = platform::waitAny(items, timeoutMs);
      status = ready.status;
      if (status == WaitStatus::Signalled && ready.index == 2) status = WaitStatus::Timeout;
    }
    receiver_->forgetWake(wake_);
    return status;
  }

  // True when the client or the relay ends the stream within `ms`.
  bool pause(int ms) {
    const WaitItem items[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_)};
    const platform::WaitResult ready = platform::waitAny(items, ms);
    return ready.status != WaitStatus::Timeout;
  }

  // The first send's worth of whole datagrams from the start place, as the
  // probe reads them.
  std::optional<ProbeResult> probeFirstData() {
    std::vector<unsigned char> first;
    BufferPosition cursor = at_;
    while (first.size() < kFirstChunkSize && cursor.ready()) {
      const DatagramBlock& block = *cursor.block;
      const unsigned char* bytes = block.bytes() + block.begin(cursor.datagram);
      first.insert(first.end(), bytes, block.bytes() + block.end(cursor.datagram));
      cursor.step();
    }
    return probeFirstChunk(first.data(), first.size());
  }

  // A client that starts at a start point gets its first datagram from the
  // PAT's unit on.
  void skipToStartUnit() {
    if (unitOffset_ == 0 || !at_.ready()) return;
    const DatagramBlock& block = *at_.block;
    const std::uint32_t begin = block.begin(at_.datagram);
    const Payload span =
        clientSpan(block.bytes() + begin, block.end(at_.datagram) - begin, format_);
    if (unitOffset_ > span.offset) {
      at_.done = std::uint32_t(std::min<std::size_t>(unitOffset_ - span.offset, span.length));
    }
  }

  // Lists what is there to send from the client's place in `pieces_`,
  // joining neighbouring bytes; `end` is left after the last datagram
  // listed. The bytes stay valid while the client's place holds its block.
  std::size_t gather(BufferPosition& end) {
    pieces_.clear();
    std::size_t total = 0;
    std::uint32_t done = end.done;
    while (pieces_.size() < kMostPieces && end.ready()) {
      const DatagramBlock& block = *end.block;
      const std::uint32_t count = block.published();
      for (; end.datagram < count && pieces_.size() < kMostPieces; ++end.datagram) {
        const std::uint32_t begin = block.begin(end.datagram);
        const unsigned char* datagram = block.bytes() + begin;
        const Payload span = clientSpan(datagram, block.end(end.datagram) - begin, format_);
        if (span.length > done) {
          const unsigned char* from = datagram + span.offset + done;
          const std::size_t length = span.length - done;
          if (!pieces_.empty() &&
              static_cast<const unsigned char*>(pieces_.back().iov_base) + pieces_.back().iov_len ==
                  from) {
            pieces_.back().iov_len += length;
          } else {
            pieces_.push_back(iovec{const_cast<unsigned char*>(from), length});
          }
          total += length;
        }
        done = 0;
      }
      end.done = 0;
    }
    return total;
  }

  // Moves the client's place past `n` sent bytes.
  void advance(std::size_t n) {
    while (n > 0 && at_.ready()) {
      const DatagramBlock& block = *at_.block;
      const std::uint32_t begin = block.begin(at_.datagram);
      const Payload span =
          clientSpan(block.bytes() + begin, block.end(at_.datagram) - begin, format_);
      const std::size_t left = span.length - std::min<std::size_t>(at_.done, span.length);
      if (n < left) {
        at_.done += std::uint32_t(n);
        return;
      }
      n -= left;
      at_.step();
    }
  }

  int fd_;
  platform::Event& shutdown_;
  int idleMs_;
  ReceiverPool::Lease receiver_;
  SendCounters* sent_;
  platform::Event wake_{platform::Event::Reset::Auto};
  BufferPosition at_;
  std::uint32_t unitOffset_ = 0;
  StreamFormat format_ = StreamFormat::PlainTs;
  std::vector<iovec> pieces_;
};

}  // namespace

void runStreamClient(StreamClientSocket client, ReceiverPool::Lease receiver,
                     int recvTimeoutSeconds, const StreamHeads& heads, SendCounters* sent) {
  if (!receiver) return;
  Streamer streamer(client, std::move(receiver), sent);
  if (!streamer.ready()) return;
  bool timedOut = false;
  if (!streamer.awaitFirstData(recvTimeoutSeconds * 1000, timedOut)) return;
  if (timedOut) {
    if (streamer.sendHead(heads.silent)) streamer.awaitEnd();
    return;
  }
  if (streamer.sendHead(heads.streaming)) streamer.streamData();
}

}  // namespace relay
