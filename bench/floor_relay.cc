// The least a relay of multicast groups to HTTP clients can do, as the cost
// floor bench/stream.sh measures the relay against: one thread, one epoll
// set, one socket per group shared by all its clients; each batch of
// datagrams is read with one recvmmsg and written to each client with one
// sendmsg, one iovec per datagram. No probing, no RTP handling, no
// counters, no time-outs.
//
//   floor_relay LISTEN_IP PORT RECEIVE_IP
//
// A client GETs /vkx/GROUP:PORT and gets "HTTP/1.1 200 OK\r\n\r\n", then
// every datagram of the group from then on. What a client's socket does not
// take at once waits in the client's own buffer until the socket has room,
// so a benchmark client gets every byte. Ends on "q" on stdin, SIGINT or
// SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr int kSlots = 64;
constexpr std::size_t kSlotBytes = 2048;
constexpr std::size_t kMaxRequest = 8192;
constexpr std::size_t kMaxBacklog = std::size_t{256} << 20;  // a client this far behind goes
constexpr int kReceiveBuffer = 987000;
constexpr std::string_view kHead = "HTTP/1.1 200 OK\r\n\r\n";
constexpr std::string_view kNotFound = "HTTP/1.1 404 Not Found\r\n\r\n";

enum class Kind { kListener, kConsole, kSignals, kClient, kGroup };

// What an epoll event points at.
struct Endpoint {
  Endpoint(Kind k, int f) : kind(k), fd(f) {}
  Kind kind;
  int fd;
};

using GroupKey = std::pair<in_addr_t, in_port_t>;
struct Group;

struct Client : Endpoint {
  explicit Client(int f) : Endpoint(Kind::kClient, f) {}
  std::string request;
  Group* group = nullptr;
  std::string backlog;  // bytes the socket has not taken yet, from backlogSent on
  std::size_t backlogSent = 0;
  bool writing = false;  // waiting for EPOLLOUT
  bool closed = false;
};

struct Group : Endpoint {
  Group(int f, GroupKey k) : Endpoint(Kind::kGroup, f), key(k) {}
  GroupKey key;
  std::vector<Client*> clients;
};

// "GET /vkx/239.1.2.3:5000 HTTP/1.1": the group and port, or false.
bool parseRequest(std::string_view request, GroupKey& key) {
  constexpr std::string_view prefix = "GET /vkx/";
  if (request.substr(0, prefix.size()) != prefix) return false;
  const std::string_view rest = request.substr(prefix.size());
  const std::size_t colon = rest.find(':');
  const std::size_t space = rest.find(' ');
  if (colon == std::string_view::npos || space == std::string_view::npos || colon > space) {
    return false;
  }
  const std::string address(rest.substr(0, colon));
  const std::string port(rest.substr(colon + 1, space - colon - 1));
  in_addr group{};
  char* end = nullptr;
  const long number = std::strtol(port.c_str(), &end, 10);
  if (inet_pton(AF_INET, address.c_str(), &group) != 1 || !IN_MULTICAST(ntohl(group.s_addr)) ||
      port.empty() || *end != '\0' || number < 1 || number > 65535) {
    return false;
  }
  key = {group.s_addr, htons(static_cast<in_port_t>(number))};
  return true;
}

class FloorRelay {
 public:
  FloorRelay() {
    for (int i = 0; i < kSlots; ++i) {
      slots_[i] = {buffers_[i], kSlotBytes};
      messages_[i] = {};
      messages_[i].msg_hdr.msg_iov = &slots_[i];
      messages_[i].msg_hdr.msg_iovlen = 1;
    }
  }

  bool start(const char* listenIp, const char* port, const char* receiveIp) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<in_port_t>(std::atoi(port)));
    if (inet_pton(AF_INET, listenIp, &address.sin_addr) != 1 ||
        inet_pton(AF_INET, receiveIp, &receiveIp_) != 1) {
      std::fprintf(stderr, "bad address\n");
      return false;
    }
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    signals_.fd = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    listener_.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener_.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (epoll_ < 0 || signals_.fd < 0 || listener_.fd < 0 ||
        bind(listener_.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.fd, SOMAXCONN) != 0) {
      std::perror("floor_relay");
      return false;
    }
    watch(&listener_, EPOLLIN, EPOLL_CTL_ADD);
    watch(&signals_, EPOLLIN, EPOLL_CTL_ADD);
    watch(&console_, EPOLLIN, EPOLL_CTL_ADD);  // fails for a file such as /dev/null: no console
    return true;
  }

  void run() {
    std::printf("Enter q to exit.\n");
    std::fflush(stdout);
    epoll_event events[64];
    while (!stop_) {
      const int n = epoll_wait(epoll_, events, 64, -1);
      if (n < 0 && errno != EINTR) break;
      for (int i = 0; i < n && !stop_; ++i) {
        auto* endpoint = static_cast<Endpoint*>(events[i].data.ptr);
        switch (endpoint->kind) {
          case Kind::kListener:
            accept();
            break;
          case Kind::kConsole:
            readConsole();
            break;
          case Kind::kSignals:
            stop_ = true;
            break;
          case Kind::kGroup:
            receive(static_cast<Group*>(endpoint));
            break;
          case Kind::kClient: {
            auto* client = static_cast<Client*>(endpoint);
            if (events[i].events & EPOLLOUT) flush(client);
            if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) read(client);
            break;
          }
        }
      }
      reap();
    }
    for (auto& [fd, client] : clients_) close(fd);
    for (auto& [key, group] : groups_) close(group->fd);
    close(listener_.fd);
    close(signals_.fd);
    close(epoll_);
  }

 private:
  void watch(Endpoint* endpoint, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = endpoint;
    epoll_ctl(epoll_, op, endpoint->fd, &event);
  }

  void accept() {
    for (int i = 0; i < 64; ++i) {
      const int fd = accept4(listener_.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      auto client = std::make_unique<Client>(fd);
      watch(client.get(), EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
      clients_[fd] = std::move(client);
    }
  }

  void readConsole() {
    char text[256];
    const ssize_t n = ::read(0, text, sizeof text);
    if (n <= 0) {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, 0, nullptr);
      return;
    }
    console_line_.append(text, n);
    std::size_t end;
    while ((end = console_line_.find('\n')) != std::string::npos) {
      if (console_line_.substr(0, end) == "q") stop_ = true;
      console_line_.erase(0, end + 1);
    }
    if (console_line_.size() > 256) console_line_.clear();
  }

  // The request until its blank line, then the stream; after that anything
  // the client sends is read and ignored, until it closes.
  void read(Client* client) {
    if (client->closed) return;
    char text[4096];
    const ssize_t n = recv(client->fd, text, sizeof text, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) return drop(client);
    if (client->group != nullptr) return;
    client->request.append(text, n);
    if (client->request.find("\r\n\r\n") == std::string::npos) {
      if (client->request.size() > kMaxRequest) drop(client);
      return;
    }
    GroupKey key;
    Group* group = parseRequest(client->request, key) ? join(key) : nullptr;
    if (group == nullptr) {
      send(client->fd, kNotFound.data(), kNotFound.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      return drop(client);
    }
    client->request = std::string();
    client->group = group;
    group->clients.push_back(client);
    iovec head{const_cast<char*>(kHead.data()), kHead.size()};
    write(client, &head, 1);
  }

  // The group's shared socket, opened and joined for its first client.
  Group* join(const GroupKey& key) {
    if (const auto it = groups_.find(key); it != groups_.end()) return it->second.get();
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    const int one = 1, zero = 0, bytes = kReceiveBuffer;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    // Past net.core.rmem_max when permitted, as the relay asks for its buffer.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = key.first;
    address.sin_port = key.second;
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = key.first;
    membership.imr_interface = receiveIp_;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      std::perror("floor_relay: group");
      close(fd);
      return nullptr;
    }
    auto group = std::make_unique<Group>(fd, key);
    watch(group.get(), EPOLLIN, EPOLL_CTL_ADD);
    return (groups_[key] = std::move(group)).get();
  }

  // Batches of datagrams, each to every client of the group with one write;
  // at most 16 batches before the other sockets get their turn.
  void receive(Group* group) {
    for (int round = 0; round < 16; ++round) {
      const int n = recvmmsg(group->fd, messages_, kSlots, MSG_DONTWAIT, nullptr);
      if (n <= 0) return;
      for (int i = 0; i < n; ++i) datagrams_[i] = {buffers_[i], messages_[i].msg_len};
      for (Client* client : group->clients) write(client, datagrams_, n);
      if (n < kSlots) return;
    }
  }

  // Writes the pieces, or what the socket takes of them; the rest waits in
  // the client's backlog, behind anything already waiting there.
  void write(Client* client, const iovec* pieces, int count) {
    if (client->closed) return;
    std::size_t taken = 0;
    if (client->backlogSent == client->backlog.size()) {
      msghdr message{};
      message.msg_iov = const_cast<iovec*>(pieces);
      message.msg_iovlen = count;
      const ssize_t n = sendmsg(client->fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return drop(client);
      taken = n > 0 ? n : 0;
    }
    for (int i = 0; i < count; ++i) {
      const std::size_t size = pieces[i].iov_len;
      if (taken >= size) {
        taken -= size;
        continue;
      }
      client->backlog.append(static_cast<const char*>(pieces[i].iov_base) + taken, size - taken);
      taken = 0;
    }
    if (client->backlog.size() - client->backlogSent > kMaxBacklog) return drop(client);
    if (client->backlogSent < client->backlog.size() && !client->writing) {
      client->writing = true;
      watch(client, EPOLLIN | EPOLLRDHUP | EPOLLOUT, EPOLL_CTL_MOD);
    }
  }

  void flush(Client* client) {
    if (client->closed) return;
    const ssize_t n =
        send(client->fd, client->backlog.data() + client->backlogSent,
             client->backlog.size() - client->backlogSent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return drop(client);
    if (n > 0) client->backlogSent += n;
    if (client->backlogSent == client->backlog.size()) {
      client->backlog.clear();
      client->backlogSent = 0;
      client->writing = false;
      watch(client, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
    } else if (client->backlogSent > (std::size_t{1} << 20)) {
      client->backlog.erase(0, client->backlogSent);
      client->backlogSent = 0;
    }
  }

  // Stops watching the client at once; its descriptor (which an accept of
  // this round must not get again), its memory (an event of this round may
  // still point at it) and its place in the group go in reap().
  void drop(Client* client) {
    if (client->closed) return;
    client->closed = true;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, client->fd, nullptr);
    dropped_.push_back(client);
  }

  // After each round of events: the dropped clients leave their groups, a
  // group without clients leaves the multicast group.
  void reap() {
    std::vector<std::unique_ptr<Client>> gone;
    std::vector<std::unique_ptr<Group>> emptied;
    for (Client* client : dropped_) {
      close(client->fd);
      const auto it = clients_.find(client->fd);
      gone.push_back(std::move(it->second));
      clients_.erase(it);
      Group* group = client->group;
      if (group == nullptr) continue;
      std::erase(group->clients, client);
      if (group->clients.empty()) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, group->fd, nullptr);
        close(group->fd);
        const auto found = groups_.find(group->key);
        emptied.push_back(std::move(found->second));
        groups_.erase(found);
      }
    }
    dropped_.clear();
  }

  int epoll_ = -1;
  in_addr receiveIp_{};
  Endpoint listener_{Kind::kListener, -1};
  Endpoint console_{Kind::kConsole, 0};
  Endpoint signals_{Kind::kSignals, -1};
  std::string console_line_;
  bool stop_ = false;
  std::map<int, std::unique_ptr<Client>> clients_;
  std::map<GroupKey, std::unique_ptr<Group>> groups_;
  std::vector<Client*> dropped_;
  mmsghdr messages_[kSlots];
  iovec slots_[kSlots];
  iovec datagrams_[kSlots];
  char buffers_[kSlots][kSlotBytes];
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: floor_relay LISTEN_IP PORT RECEIVE_IP\n");
    return 2;
  }
  static FloorRelay relay;  // its receive slots are 128 KiB: not on the stack
  if (!relay.start(argv[1], argv[2], argv[3])) return 1;
  relay.run();
  return 0;
}
