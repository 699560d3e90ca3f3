#include "backend/dns/PlainDnsResolvers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace backend {

struct PlainDnsResolvers::Socket {
  Entry entry;
  DnsBlockList blocked;
  int udp = -1;
  int tcp = -1;  // listening
  ~Socket() {
    if (udp >= 0) ::close(udp);
    if (tcp >= 0) ::close(tcp);
  }
};

// One TCP client: length-prefixed queries in, length-prefixed answers out, in turn. Nothing more is
// read while an answer waits to be sent, so a client that does not read holds no more than that.
struct PlainDnsResolvers::Connection {
  int fd = -1;
  Socket* socket = nullptr;
  std::string in;
  std::string out;
  size_t sent = 0;
  std::chrono::steady_clock::time_point deadline;
  bool done = false;
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

constexpr int kDatagramsPerTurn = 64;  // then the TCP clients get their turn

std::map<std::string, std::string> normalisedTable(const std::map<std::string, std::string>& table) {
  std::map<std::string, std::string> out;
  for (const auto& [name, address] : table) out[normaliseDnsName(name)] = address;
  return out;
}

void setPort(sockaddr_storage& storage, uint16_t port) {
  if (storage.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(storage).sin_port = htons(port);
  else reinterpret_cast<sockaddr_in6&>(storage).sin6_port = htons(port);
}

uint16_t portOf(int fd) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return bound.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port)
                                    : ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port);
}

}  // namespace

PlainDnsResolvers::PlainDnsResolvers(std::map<std::string, std::string> table)
    : PlainDnsResolvers(std::move(table), TcpLimits()) {}

PlainDnsResolvers::PlainDnsResolvers(std::map<std::string, std::string> table, TcpLimits tcpLimits)
    : table_(normalisedTable(table)), tcpLimits_(tcpLimits), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PlainDnsResolvers::~PlainDnsResolvers() {
  stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

DnsLookup PlainDnsResolvers::lookup(const std::string& name, bool isV6) const {
  auto it = table_.find(normaliseDnsName(name));
  if (it == table_.end()) return DnsLookup{false, ""};
  return DnsLookup{true, isV6 ? "" : it->second};
}

bool PlainDnsResolvers::add(const std::string& address, const std::string& listName, DnsBlockList blocked,
                            uint16_t port, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    length = sizeof(*v4);
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    length = sizeof(*v6);
  } else {
    return fail("not an IP address: " + address);
  }
  auto cannotListen = [&](const char* protocol) {
    return fail(std::string("cannot listen on ") + address + " port " + std::to_string(port) + " (" + protocol +
                "): " + std::strerror(errno));
  };
  std::unique_ptr<Socket> socket;
  // With port 0 the UDP socket picks the port; TCP then wants the same one, which may be taken: try again.
  for (int attempt = 0;; ++attempt) {
    socket = std::make_unique<Socket>();
    setPort(storage, port);
    socket->udp = ::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket->udp < 0) return fail(std::string("socket: ") + std::strerror(errno));
    if (::bind(socket->udp, reinterpret_cast<sockaddr*>(&storage), length) != 0) return cannotListen("UDP");
    const uint16_t bound = portOf(socket->udp);
    setPort(storage, bound);
    socket->tcp = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket->tcp < 0) return fail(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(socket->tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // past connections in TIME_WAIT
    if (::bind(socket->tcp, reinterpret_cast<sockaddr*>(&storage), length) == 0 && ::listen(socket->tcp, 64) == 0) {
      socket->entry = Entry{address, listName, bound};
      break;
    }
    if (port != 0 || errno != EADDRINUSE || attempt == 20) return cannotListen("TCP");
  }
  socket->blocked = std::move(blocked);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(std::move(socket));
    if (!thread_.joinable()) {
      stopping_ = false;
      thread_ = std::thread([this] { loop(); });
    }
  }
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  return true;
}

std::vector<PlainDnsResolvers::Entry> PlainDnsResolvers::resolvers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Entry> out;
  for (const auto& s : sockets_) out.push_back(s->entry);
  return out;
}

void PlainDnsResolvers::serveUdp(Socket& s, std::string& buffer) {
  for (int i = 0; i < kDatagramsPerTurn; ++i) {
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = ::recvfrom(s.udp, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return;
    const std::string query(buffer.data(), static_cast<size_t>(n));
    auto reply = answerDnsQuery(query, s.blocked, [this](const std::string& name, bool isV6) { return lookup(name, isV6); },
                                udpAnswerLimit(query));
    if (!reply) continue;  // not a query: no answer, as a resolver drops garbage
    ::sendto(s.udp, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    ++answered_;
  }
}

void PlainDnsResolvers::accept(Socket& s, std::vector<std::unique_ptr<Connection>>& connections) {
  for (;;) {
    int fd = ::accept4(s.tcp, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (connections.size() >= tcpLimits_.connections) {
      ::close(fd);  // at once, so the client learns it rather than waiting
      continue;
    }
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->socket = &s;
    c->deadline = std::chrono::steady_clock::now() + tcpLimits_.idle;
    connections.push_back(std::move(c));
  }
}

bool PlainDnsResolvers::serveTcp(Connection& c, short events) {
  if (!c.out.empty()) {
    if (!(events & (POLLOUT | POLLERR | POLLHUP))) return true;
    ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.sent += static_cast<size_t>(n);
    if (c.sent < c.out.size()) return true;
    c.out.clear();
    c.sent = 0;
  } else if (events & (POLLIN | POLLERR | POLLHUP)) {
    // Never more than one whole query (with its prefix) is held.
    char buffer[4096];
    const size_t want = std::min(sizeof buffer, 2 + tcpLimits_.querySize - c.in.size());
    ssize_t n = ::recv(c.fd, buffer, want, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.in.append(buffer, static_cast<size_t>(n));
  }
  // Every whole query held is answered in turn.
  while (c.in.size() >= 2) {
    const size_t length = (static_cast<unsigned char>(c.in[0]) << 8) | static_cast<unsigned char>(c.in[1]);
    if (length == 0 || length > tcpLimits_.querySize) return false;
    if (c.in.size() < 2 + length) break;
    auto reply = answerDnsQuery(c.in.substr(2, length), c.socket->blocked,
                                [this](const std::string& name, bool isV6) { return lookup(name, isV6); });
    c.in.erase(0, 2 + length);
    if (!reply) return false;  // not a query: this is no DNS client
    c.out.push_back(static_cast<char>(reply->size() >> 8));
    c.out.push_back(static_cast<char>(reply->size() & 0xff));
    c.out += *reply;
    c.deadline = std::chrono::steady_clock::now() + tcpLimits_.idle;
    ++answered_;
  }
  return true;
}

void PlainDnsResolvers::loop() {
  enum class Kind { kWake, kUdp, kListener, kConnection };
  struct Slot {
    Kind kind;
    Socket* socket;
    Connection* connection;
  };
  std::vector<pollfd> fds;
  std::vector<Slot> slots;
  std::vector<std::unique_ptr<Connection>> connections;
  std::string buffer(65535, '\0');
  while (!stopping_) {
    fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
    slots.assign(1, Slot{Kind::kWake, nullptr, nullptr});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& s : sockets_) {
        fds.push_back(pollfd{s->udp, POLLIN, 0});
        slots.push_back(Slot{Kind::kUdp, s.get(), nullptr});
        fds.push_back(pollfd{s->tcp, POLLIN, 0});
        slots.push_back(Slot{Kind::kListener, s.get(), nullptr});
      }
    }
    auto now = std::chrono::steady_clock::now();
    int timeoutMs = -1;
    for (const auto& c : connections) {
      fds.push_back(pollfd{c->fd, static_cast<short>(c->out.empty() ? POLLIN : POLLOUT), 0});
      slots.push_back(Slot{Kind::kConnection, nullptr, c.get()});
      auto left = std::chrono::ceil<std::chrono::milliseconds>(c->deadline - now).count();
      left = std::max<decltype(left)>(left, 0);
      if (timeoutMs < 0 || left < timeoutMs) timeoutMs = static_cast<int>(left);
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const Slot& slot = slots[i];
      switch (slot.kind) {
        case Kind::kWake: {
          uint64_t count = 0;
          (void)!::read(wakeFd_, &count, sizeof count);
          break;
        }
        case Kind::kUdp:
          serveUdp(*slot.socket, buffer);
          break;
        case Kind::kListener:
          accept(*slot.socket, connections);
          break;
        case Kind::kConnection:
          if (!serveTcp(*slot.connection, fds[i].revents)) slot.connection->done = true;
          break;
      }
    }
    now = std::chrono::steady_clock::now();
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [&](const auto& c) { return c->done || c->deadline <= now; }),
                      connections.end());
  }
}

void PlainDnsResolvers::stop() {
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
      sockets_.clear();
      return;
    }
    stopping_ = true;
    worker = std::move(thread_);
  }
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  worker.join();
  std::lock_guard<std::mutex> lock(mutex_);
  sockets_.clear();
}

}  // namespace backend
