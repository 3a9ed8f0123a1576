// A scoped IPv4 socket and the options the programs set. Every call that can
// fail returns 0 or the errno value, so callers print the platform's own
// error numbers.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// An IPv4 address in network byte order, as inet_addr gives it.
using Ipv4 = std::uint32_t;

// inet_addr's reading of a dotted text; INADDR_NONE when it is not one.
Ipv4 parseIpv4(const std::string& text);
// Whether inet_addr reads `text` as an address (255.255.255.255 included).
bool isIpv4Text(const std::string& text);
std::string ipv4Text(Ipv4 address);
sockaddr_in makeSockaddr(Ipv4 address, std::uint16_t port);
// The IPv4 peer of the connected socket `fd` (port in host order): 0, or
// errno (EAFNOSUPPORT for a peer that is not IPv4).
int peerAddressOf(int fd, Ipv4& address, std::uint16_t& port);
// The local IPv4 address and port of the socket `fd`, as peerAddressOf.
int localAddressOf(int fd, Ipv4& address, std::uint16_t& port);

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}

  // Opens a close-on-exec socket; `error` receives errno on failure.
  static Socket open(int type, int protocol, int& error, bool nonBlocking = false);
  static Socket tcp(int& error) { return open(SOCK_STREAM, 0, error); }
  static Socket udp(int& error) { return open(SOCK_DGRAM, 0, error); }

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void close() { fd_.reset(); }

  int setNonBlocking(bool on);
  int setReuseAddress(bool on);
  int setIntOption(int level, int name, int value);
  int intOption(int level, int name, int& value) const;

  // Asks for `bytes` of receive buffer: SO_RCVBUFFORCE when the process may
  // exceed net.core.rmem_max, else SO_RCVBUF. `granted` is what the kernel
  // reports afterwards (it doubles the request for its own bookkeeping).
  int setReceiveBuffer(int bytes, int& granted);
  int setSendBuffer(int bytes);

  int setMulticastInterface(Ipv4 interfaceAddress);
  int setMulticastTtl(int ttl);
  int setMulticastLoop(bool on);
  int joinGroup(Ipv4 group, Ipv4 interfaceAddress);
  int leaveGroup(Ipv4 group, Ipv4 interfaceAddress);
  // A source-specific membership: only `source`'s datagrams to `group`.
  int joinSourceGroup(Ipv4 group, Ipv4 source, Ipv4 interfaceAddress);
  // The same, naming the interface by its index: the membership and the
  // sending interface follow it whatever address it holds.
  int setMulticastInterfaceIndex(int interfaceIndex);
  int joinGroupByIndex(Ipv4 group, int interfaceIndex);
  int joinSourceGroupByIndex(Ipv4 group, Ipv4 source, int interfaceIndex);
  // One of the four above: from any source when `source` is 0, on the
  // interface by `interfaceIndex` when it is not 0, else by its address.
  int join(Ipv4 group, Ipv4 source, Ipv4 interfaceAddress, int interfaceIndex);
  // Delivers the arriving interface and destination with each datagram.
  int setPacketInfo(bool on);

  int bind(Ipv4 address, std::uint16_t port);
  int listen(int backlog);
  int connect(Ipv4 address, std::uint16_t port);
  // The bound address and port (port in host order).
  int localAddress(Ipv4& address, std::uint16_t& port) const;

 private:
  UniqueFd fd_;
};

}  // namespace platform
