#include "platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using platform::Socket;

const platform::Ipv4 kLoopback = platform::parseIpv4("127.0.0.1");

TEST(Ipv4, ParseAndFormat) {
  EXPECT_EQ(platform::ipv4Text(platform::parseIpv4("198.18.0.1")), "198.18.0.1");
  EXPECT_EQ(platform::parseIpv4("not an address"), platform::Ipv4(INADDR_NONE));
  const sockaddr_in sa = platform::makeSockaddr(kLoopback, 2901);
  EXPECT_EQ(ntohs(sa.sin_port), 2901);
  EXPECT_EQ(sa.sin_addr.s_addr, kLoopback);
}

TEST(Socket, ClosesItsDescriptorExactlyOnce) {
  int error = -1;
  int fd;
  {
    Socket s = Socket::udp(error);
    ASSERT_EQ(error, 0);
    fd = s.fd();
    Socket moved = std::move(s);
    EXPECT_FALSE(s.valid());
    EXPECT_EQ(moved.fd(), fd);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed when the last owner went
}

TEST(Socket, ReuseAddressLetsSeveralReceiversBindOnePort) {
  int error;
  Socket first = Socket::udp(error);
  ASSERT_EQ(first.setReuseAddress(true), 0);
  ASSERT_EQ(first.bind(kLoopback, 0), 0);
  platform::Ipv4 address;
  std::uint16_t port;
  ASSERT_EQ(first.localAddress(address, port), 0);
  Socket second = Socket::udp(error);
  ASSERT_EQ(second.setReuseAddress(true), 0);
  EXPECT_EQ(second.bind(kLoopback, port), 0);

  Socket third = Socket::udp(error);
  EXPECT_EQ(third.bind(kLoopback, port), EADDRINUSE);  // errno comes back as the value
}

TEST(Socket, ReceiveBufferReportsWhatTheKernelGranted) {
  int error;
  Socket s = Socket::udp(error);
  int granted = 0;
  ASSERT_EQ(s.setReceiveBuffer(987000, granted), 0);
  EXPECT_GT(granted, 0);
  if (::geteuid() == 0) {
    EXPECT_GE(granted, 987000);  // SO_RCVBUFFORCE passes rmem_max
  }
}

TEST(Socket, TcpListenConnectOnLoopback) {
  int error;
  Socket listener = Socket::tcp(error);
  ASSERT_EQ(listener.setReuseAddress(true), 0);
  ASSERT_EQ(listener.bind(kLoopback, 0), 0);
  ASSERT_EQ(listener.listen(16), 0);
  platform::Ipv4 address;
  std::uint16_t port;
  ASSERT_EQ(listener.localAddress(address, port), 0);
  EXPECT_EQ(address, kLoopback);

  Socket client = Socket::tcp(error);
  EXPECT_EQ(client.connect(kLoopback, port), 0);
  Socket refused = Socket::tcp(error);
  listener.close();
  EXPECT_EQ(refused.connect(kLoopback, port), ECONNREFUSED);
}

TEST(Socket, MulticastOptionsAreAccepted) {
  int error;
  Socket s = Socket::udp(error);
  EXPECT_EQ(s.setMulticastTtl(1), 0);
  EXPECT_EQ(s.setMulticastLoop(false), 0);
  EXPECT_EQ(s.setPacketInfo(true), 0);
  EXPECT_EQ(s.setMulticastInterface(kLoopback), 0);
  EXPECT_EQ(s.setNonBlocking(true), 0);
  EXPECT_NE(::fcntl(s.fd(), F_GETFL) & O_NONBLOCK, 0);
}

}  // namespace
