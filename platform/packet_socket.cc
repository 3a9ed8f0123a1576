#include "platform/packet_socket.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cerrno>

namespace platform {
namespace {

int result(int rc) {
  return rc == 0 ? 0 : errno;
}

}  // namespace

int attachSocketFilter(int fd, std::span<const sock_filter> program) {
  const sock_fprog fprog{static_cast<unsigned short>(program.size()),
                         const_cast<sock_filter*>(program.data())};
  return result(::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog));
}

PacketSocket PacketSocket::open(BeforeBind before, int& error) {
  // SOCK_DGRAM: the link header is stripped, so filters and readers start at
  // the IP header. Protocol 0 takes nothing until the bind names one.
  const int protocol = before == BeforeBind::EveryInterface ? htons(ETH_P_IP) : 0;
  const int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  error = fd < 0 ? errno : 0;
  return PacketSocket(fd);
}

int PacketSocket::bind(int interfaceIndex) {
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_IP);
  address.sll_ifindex = interfaceIndex;
  return result(::bind(fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int PacketSocket::receiveAllMulticast(int interfaceIndex) {
  packet_mreq request{};
  request.mr_ifindex = interfaceIndex;
  request.mr_type = PACKET_MR_ALLMULTI;
  return result(::setsockopt(fd(), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &request, sizeof request));
}

int PacketSocket::setReceiveBuffer(int bytes) {
  if (::setsockopt(fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return 0;
  return result(::setsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes));
}

}  // namespace platform
