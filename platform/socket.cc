#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

int result(int rc) {
  return rc == 0 ? 0 : errno;
}

int setMembership(int fd, int option, Ipv4 group, Ipv4 interfaceAddress) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = interfaceAddress;
  return result(::setsockopt(fd, IPPROTO_IP, option, &request, sizeof request));
}

}  // namespace

Ipv4 parseIpv4(const std::string& text) {
  return ::inet_addr(text.c_str());
}

bool isIpv4Text(const std::string& text) {
  in_addr address{};
  return ::inet_aton(text.c_str(), &address) != 0;
}

std::string ipv4Text(Ipv4 address) {
  in_addr in{};
  in.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

sockaddr_in makeSockaddr(Ipv4 address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

Socket Socket::open(int type, int protocol, int& error, bool nonBlocking) {
  const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
  const int fd = ::socket(AF_INET, type | flags, protocol);
  error = fd < 0 ? errno : 0;
  return Socket(fd);
}

int Socket::setNonBlocking(bool on) {
  const int flags = ::fcntl(fd(), F_GETFL);
  if (flags < 0) return errno;
  return result(::fcntl(fd(), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK));
}

int Socket::setIntOption(int level, int name, int value) {
  return result(::setsockopt(fd(), level, name, &value, sizeof value));
}

int Socket::intOption(int level, int name, int& value) const {
  socklen_t length = sizeof value;
  return result(::getsockopt(fd(), level, name, &value, &length));
}

int Socket::setReuseAddress(bool on) {
  return setIntOption(SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

int Socket::setReceiveBuffer(int bytes, int& granted) {
  int error = setIntOption(SOL_SOCKET, SO_RCVBUFFORCE, bytes);
  if (error != 0) error = setIntOption(SOL_SOCKET, SO_RCVBUF, bytes);
  granted = 0;
  if (error == 0) error = intOption(SOL_SOCKET, SO_RCVBUF, granted);
  return error;
}

int Socket::setSendBuffer(int bytes) {
  return setIntOption(SOL_SOCKET, SO_SNDBUF, bytes);
}

int Socket::setMulticastInterface(Ipv4 interfaceAddress) {
  in_addr in{};
  in.s_addr = interfaceAddress;
  return result(::setsockopt(fd(), IPPROTO_IP, IP_MULTICAST_IF, &in, sizeof in));
}

int Socket::setMulticastTtl(int ttl) {
  return setIntOption(IPPROTO_IP, IP_MULTICAST_TTL, ttl);
}

int Socket::setMulticastLoop(bool on) {
  return setIntOption(IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0);
}

int Socket::joinGroup(Ipv4 group, Ipv4 interfaceAddress) {
  return setMembership(fd(), IP_ADD_MEMBERSHIP, group, interfaceAddress);
}

int Socket::leaveGroup(Ipv4 group, Ipv4 interfaceAddress) {
  return setMembership(fd(), IP_DROP_MEMBERSHIP, group, interfaceAddress);
}

int Socket::joinSourceGroup(Ipv4 group, Ipv4 source, Ipv4 interfaceAddress) {
  ip_mreq_source request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = interfaceAddress;
  request.imr_sourceaddr.s_addr = source;
  return result(::setsockopt(fd(), IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request, sizeof request));
}

int Socket::setMulticastInterfaceIndex(int interfaceIndex) {
  ip_mreqn request{};
  request.imr_ifindex = interfaceIndex;
  return result(::setsockopt(fd(), IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request));
}

int Socket::joinGroupByIndex(Ipv4 group, int interfaceIndex) {
  ip_mreqn request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_ifindex = interfaceIndex;
  return result(::setsockopt(fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request));
}

int Socket::joinSourceGroupByIndex(Ipv4 group, Ipv4 source, int interfaceIndex) {
  group_source_req request{};
  request.gsr_interface = std::uint32_t(interfaceIndex);
  const sockaddr_in groupAddress = makeSockaddr(group, 0);
  const sockaddr_in sourceAddress = makeSockaddr(source, 0);
  std::memcpy(&request.gsr_group, &groupAddress, sizeof groupAddress);
  std::memcpy(&request.gsr_source, &sourceAddress, sizeof sourceAddress);
  return result(::setsockopt(fd(), IPPROTO_IP, MCAST_JOIN_SOURCE_GROUP, &request, sizeof request));
}

int Socket::join(Ipv4 group, Ipv4 source, Ipv4 interfaceAddress, int interfaceIndex) {
  if (interfaceIndex != 0) {
    return source != 0 ? joinSourceGroupByIndex(group, source, interfaceIndex)
                       : joinGroupByIndex(group, interfaceIndex);
  }
  return source != 0 ? joinSourceGroup(group, source, interfaceAddress)
                     : joinGroup(group, interfaceAddress);
}

int Socket::setPacketInfo(bool on) {
  return setIntOption(IPPROTO_IP, IP_PKTINFO, on ? 1 : 0);
}

int Socket::bind(Ipv4 address, std::uint16_t port) {
  const sockaddr_in sa = makeSockaddr(address, port);
  return result(::bind(fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

int Socket::listen(int backlog) {
  return result(::listen(fd(), backlog));
}

int Socket::connect(Ipv4 address, std::uint16_t port) {
  const sockaddr_in sa = makeSockaddr(address, port);
  return result(::connect(fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

int peerAddressOf(int fd, Ipv4& address, std::uint16_t& port) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return errno;
  if (sa.sin_family != AF_INET) return EAFNOSUPPORT;
  address = sa.sin_addr.s_addr;
  port = ntohs(sa.sin_port);
  return 0;
}

int localAddressOf(int fd, Ipv4& address, std::uint16_t& port) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return errno;
  if (sa.sin_family != AF_INET) return EAFNOSUPPORT;
  address = sa.sin_addr.s_addr;
  port = ntohs(sa.sin_port);
  return 0;
}

int Socket::localAddress(Ipv4& address, std::uint16_t& port) const {
  return localAddressOf(fd(), address, port);
}

}  // namespace platform
