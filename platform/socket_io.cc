#include "platform/socket_io.h"

#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"

namespace platform {
namespace {

bool full(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

// The caller's stops, then the socket's room, then the optional wake.
class RoomWait {
 public:
  RoomWait(int fd, std::span<const WaitItem> stops, Event* wake)
      : stopCount_(std::min(stops.size(), kMostSendStops)) {
    std::copy_n(stops.begin(), stopCount_, items_.begin());
    size_ = stopCount_;
    items_[size_++] = WaitItem::writable(fd);
    if (wake != nullptr) items_[size_++] = WaitItem::event(*wake);
  }

  WaitResult wait(int timeoutMs) const {
    return waitAny(std::span(items_.data(), size_), timeoutMs);
  }
  bool isStop(std::size_t index) const { return index < stopCount_; }
  bool isRoom(std::size_t index) const { return index == stopCount_; }
  std::size_t stopCount() const { return stopCount_; }

 private:
  std::array<WaitItem, kMostSendStops + 2> items_{};
  std::size_t size_ = 0;
  std::size_t stopCount_;
};

// Waits for room after a send found none. True when there is room; false
// with `result` saying why not.
bool waitForRoom(const RoomWait& room, const SendWaits& waits, SendResult& result) {
  const std::int64_t deadline = waits.stallMs < 0 ? -1 : monotonicMs() + waits.stallMs;
  for (;;) {
    const int left = deadline < 0 ? -1 : int(std::max<std::int64_t>(deadline - monotonicMs(), 0));
    const WaitResult ready = room.wait(left);
    if (ready.status == WaitStatus::Failed) {
      result.status = SendStatus::WaitFailed;
      result.error = ready.error;
      return false;
    }
    if (ready.status == WaitStatus::Timeout) {
      result.status = SendStatus::Stalled;
      return false;
    }
    if (room.isRoom(ready.index)) return true;
    if (room.isStop(ready.index) || !waits.keepWaiting || !waits.keepWaiting()) {
      result.status = SendStatus::Stopped;
      result.stop = std::min(ready.index, room.stopCount());
      return false;
    }
  }
}

// After a send call that moved nothing: go on (true), or the result.
bool mayGoOn(ssize_t n, const RoomWait& room, const SendWaits& waits, SendResult& result) {
  if (n < 0 && errno == EINTR) return true;
  if (n < 0 && !full(errno)) {
    result.status = SendStatus::PeerGone;
    result.error = errno;
    return false;
  }
  return waitForRoom(room, waits, result);
}

}  // namespace

SendResult sendAll(int fd, std::string_view bytes, const SendWaits& waits, bool more) {
  const RoomWait room(fd, waits.stops, waits.wake);
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
  SendResult result;
  while (result.sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + result.sent, bytes.size() - result.sent, flags);
    if (n > 0) {
      result.sent += std::size_t(n);
    } else if (!mayGoOn(n, room, waits, result)) {
      return result;
    }
  }
  return result;
}

SendResult sendFileAll(int fd, int file, std::uint64_t offset, std::uint64_t length,
                       std::size_t window, const SendWaits& waits) {
  const RoomWait room(fd, waits.stops, waits.wake);
  off_t position = off_t(offset);
  SendResult result;
  while (result.sent < length) {
    const std::uint64_t left = length - result.sent;
    const ssize_t n = ::sendfile(fd, file, &position, left < window ? std::size_t(left) : window);
    if (n > 0) {
      result.sent += std::size_t(n);
    } else if (n == 0) {
      result.status = SendStatus::SourceEnded;
      return result;
    } else if (!mayGoOn(n, room, waits, result)) {
      return result;
    }
  }
  return result;
}

std::int64_t sendSome(int fd, std::span<const iovec> pieces) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(pieces.data());
  message.msg_iovlen = pieces.size();
  for (;;) {
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return full(errno) ? 0 : -errno;
  }
}

DatagramResult sendDatagram(int fd, std::string_view bytes, const sockaddr_in* to,
                            std::span<const WaitItem> stops, int roomWaitMs) {
  const RoomWait room(fd, stops, nullptr);
  const auto* address = reinterpret_cast<const sockaddr*>(to);
  const socklen_t length = to != nullptr ? sizeof *to : 0;
  DatagramResult result;
  for (bool waited = false;;) {
    if (::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT, address, length) >=
        0) {
      return result;
    }
    const int error = errno;
    if (error == EINTR) continue;
    // Waiting without limit, only room ends the wait; a bounded wait gets
    // one more try.
    if (!full(error) || (waited && roomWaitMs >= 0)) {
      result.status = waited ? DatagramStatus::Lost : DatagramStatus::Refused;
      result.error = error;
      return result;
    }
    const WaitResult ready = room.wait(roomWaitMs);
    if (ready.status == WaitStatus::Failed) {
      result.status = DatagramStatus::WaitFailed;
      result.error = ready.error;
      return result;
    }
    if (ready.status == WaitStatus::Signalled && room.isStop(ready.index)) {
      result.status = DatagramStatus::Stopped;
      result.stop = ready.index;
      return result;
    }
    waited = true;
  }
}

DatagramsResult sendDatagrams(int fd, std::span<const iovec> datagrams, const sockaddr_in* to,
                              std::span<const WaitItem> stops, int roomWaitMs) {
  constexpr std::size_t kPerCall = 64;
  std::array<mmsghdr, kPerCall> messages{};
  DatagramsResult result;
  while (result.sent < datagrams.size()) {
    const std::size_t count = std::min(kPerCall, datagrams.size() - result.sent);
    for (std::size_t i = 0; i < count; ++i) {
      msghdr& header = messages[i].msg_hdr;
      header = msghdr{};
      header.msg_name = const_cast<sockaddr_in*>(to);
      header.msg_namelen = to != nullptr ? sizeof *to : 0;
      header.msg_iov = const_cast<iovec*>(&datagrams[result.sent + i]);
      header.msg_iovlen = 1;
    }
    const int n = ::sendmmsg(fd, messages.data(), unsigned(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      result.sent += std::size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // The first of the rest could not go at once: the single send decides
    // whether it waits for room, and reports its failure.
    const iovec& next = datagrams[result.sent];
    result.next =
        sendDatagram(fd, std::string_view(static_cast<const char*>(next.iov_base), next.iov_len),
                     to, stops, roomWaitMs);
    if (result.next.status != DatagramStatus::Sent) return result;
    ++result.sent;
  }
  return result;
}

ReceiveStatus receiveArrived(int fd, std::span<unsigned char> buffer, ArrivedDatagram& out,
                             int& error) {
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
  for (;;) {
    out = ArrivedDatagram{};
    iovec vector{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &out.peer;
    message.msg_namelen = sizeof out.peer;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return ReceiveStatus::Empty;
      error = errno;
      return ReceiveStatus::Failed;
    }
    out.size = std::size_t(n);
    out.truncated = (message.msg_flags & MSG_TRUNC) != 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      out.hasArrival = true;
      out.interfaceIndex = info.ipi_ifindex;
      out.destination = info.ipi_addr.s_addr;
    }
    return ReceiveStatus::Received;
  }
}

}  // namespace platform
