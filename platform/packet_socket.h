// A packet socket on one interface: it sees the interface's IPv4 packets
// from their IP header on, including what a raw IP socket is never shown
// (reports for groups this host has not joined, a group's traffic before
// any socket is bound to its port).
#pragma once

#include <linux/filter.h>

#include <span>

#include "platform/unique_fd.h"

namespace platform {

// Attaches a classic BPF program to any socket; 0 or errno. On a packet
// socket its offsets count from the IP header.
int attachSocketFilter(int fd, std::span<const sock_filter> program);

class PacketSocket {
 public:
  // What the socket queues between open and bind.
  enum class BeforeBind {
    EveryInterface,  // IPv4 of every interface: it also listens on if the bind fails
    Nothing,         // nothing at all
  };

  PacketSocket() = default;
  // Non-blocking and close-on-exec; `error` receives errno on failure.
  static PacketSocket open(BeforeBind before, int& error);

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  int attachFilter(std::span<const sock_filter> program) {
    return attachSocketFilter(fd(), program);
  }
  // Takes the IPv4 packets of the interface `interfaceIndex` only. The index
  // must not be 0, which the kernel reads as every interface. 0 or errno.
  int bind(int interfaceIndex);
  // Has the interface pass up every multicast frame, not only the groups
  // this host has joined, for as long as the socket is open. 0 or errno.
  int receiveAllMulticast(int interfaceIndex);
  // SO_RCVBUFFORCE where permitted, else SO_RCVBUF. 0 or errno.
  int setReceiveBuffer(int bytes);

 private:
  explicit PacketSocket(int fd) : fd_(fd) {}

  UniqueFd fd_;
};

}  // namespace platform
