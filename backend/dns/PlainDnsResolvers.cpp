#include "backend/dns/PlainDnsResolvers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace backend {

struct PlainDnsResolvers::Socket {
  Entry entry;
  DnsBlockList blocked;
  int fd = -1;
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

std::map<std::string, std::string> normalisedTable(const std::map<std::string, std::string>& table) {
  std::map<std::string, std::string> out;
  for (const auto& [name, address] : table) out[normaliseDnsName(name)] = address;
  return out;
}

}  // namespace

PlainDnsResolvers::PlainDnsResolvers(std::map<std::string, std::string> table)
    : table_(normalisedTable(table)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

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
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(*v4);
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(*v6);
  } else {
    return fail("not an IP address: " + address);
  }
  auto socket = std::make_unique<Socket>();
  socket->fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket->fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::bind(socket->fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    return fail("cannot listen on " + address + " port " + std::to_string(port) + ": " + std::strerror(errno));
  }
  socket->entry = Entry{address, listName, port};
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

void PlainDnsResolvers::loop() {
  std::vector<pollfd> fds;
  std::vector<Socket*> owners;
  char buffer[4096];
  while (!stopping_) {
    fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
    owners.assign(1, nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& s : sockets_) {
        fds.push_back(pollfd{s->fd, POLLIN, 0});
        owners.push_back(s.get());
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[0].revents) {
      uint64_t count = 0;
      (void)!::read(wakeFd_, &count, sizeof count);
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      Socket* s = owners[i];
      for (;;) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(s->fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) break;
        auto reply = answerDnsQuery(std::string(buffer, static_cast<size_t>(n)), s->blocked,
                                    [this](const std::string& name, bool isV6) { return lookup(name, isV6); });
        if (!reply) continue;  // not a query: no answer, as a resolver drops garbage
        ::sendto(s->fd, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
        ++answered_;
      }
    }
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
