#include "Vorellin/dnscrypt/service/DnsProxyServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorellin::fenwix {
namespace {

constexpr int kWorkers = 8;
constexpr size_t kMaxQueued = 512;
constexpr int kMaxConnections = 64;
constexpr int kTcpIdleMs = 10000;

// "127.0.0.1:53" or "[::1]:53" -> socket address.
bool parseListenAddress(const std::string& text, sockaddr_storage* out, socklen_t* len, std::string* error) {
  std::string host, port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "bad listen address " + text;
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      *error = "listen address " + text + " has no port";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  addrinfo* res = nullptr;
  if (port.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) {
    *error = "bad listen address " + text;
    return false;
  }
  std::memcpy(out, res->ai_addr, res->ai_addrlen);
  *len = res->ai_addrlen;
  freeaddrinfo(res);
  return true;
}

int bindSocket(const sockaddr_storage& addr, socklen_t len, int type, std::string* error, const std::string& text) {
  int fd = ::socket(addr.ss_family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = "cannot open a socket: " + std::string(std::strerror(errno));
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (addr.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 64) != 0)) {
    *error = std::string("cannot listen on ") + (type == SOCK_STREAM ? "TCP " : "UDP ") + text + ": " +
             std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool readFull(int fd, char* buf, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, buf, n, 0);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      return false;
    }
    buf += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool writeFull(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t w = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return false;
    }
    off += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

DnsProxyServer::DnsProxyServer(const ProxyConfiguration& config) : config_(config), forwarder_(config) {}

DnsProxyServer::~DnsProxyServer() { stop(); }

bool DnsProxyServer::start(std::string* error) {
  if (running_) return true;
  std::string why;
  auto closeAll = [this] {
    for (auto& l : listeners_) {
      if (l.udp >= 0) ::close(l.udp);
      if (l.tcp >= 0) ::close(l.tcp);
    }
    listeners_.clear();
  };
  for (const auto& text : config_.listenAddresses) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    Listener l;
    if (!parseListenAddress(text, &addr, &len, &why) || (l.udp = bindSocket(addr, len, SOCK_DGRAM, &why, text)) < 0 ||
        (l.tcp = bindSocket(addr, len, SOCK_STREAM, &why, text)) < 0) {
      if (l.udp >= 0) ::close(l.udp);
      closeAll();
      if (error) *error = why;
      return false;
    }
    listeners_.push_back(l);
  }
  if (::pipe2(wakePipe_, O_CLOEXEC) != 0) {
    closeAll();
    if (error) *error = "cannot make a pipe";
    return false;
  }
  stopping_ = false;
  running_ = true;
  for (int i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { workerLoop(); });
  for (const auto& l : listeners_) {
    threads_.emplace_back([this, fd = l.udp] { udpLoop(fd); });
    threads_.emplace_back([this, fd = l.tcp] { tcpLoop(fd); });
  }
  return true;
}

void DnsProxyServer::stop() {
  if (!running_) return;
  running_ = false;
  stopping_ = true;
  char byte = 1;
  ssize_t ignored = ::write(wakePipe_[1], &byte, 1);
  (void)ignored;
  queueCv_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
  {
    std::unique_lock<std::mutex> lock(connMutex_);
    connCv_.wait(lock, [this] { return connections_ == 0; });
  }
  queue_.clear();
  for (auto& l : listeners_) {
    ::close(l.udp);
    ::close(l.tcp);
  }
  listeners_.clear();
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
  wakePipe_[0] = wakePipe_[1] = -1;
}

bool DnsProxyServer::waitReadable(int fd, int timeoutMs) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || stopping_ || (fds[1].revents & POLLIN)) return false;
    return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
}

void DnsProxyServer::workerLoop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueCv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

void DnsProxyServer::udpLoop(int fd) {
  std::string buf(65535, '\0');
  while (waitReadable(fd, -1)) {
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n <= 0) continue;
    std::string query(buf.data(), static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queue_.size() >= kMaxQueued) continue;  // overloaded: the client retries
    queue_.push_back([this, fd, from, fromLen, query = std::move(query)] {
      size_t limit = DohForwarder::udpLimit(query);
      if (limit == 0) return;
      std::optional<std::string> answer = forwarder_.resolve(query, limit);
      if (answer && !stopping_)
        ::sendto(fd, answer->data(), answer->size(), 0, reinterpret_cast<const sockaddr*>(&from), fromLen);
    });
    queueCv_.notify_one();
  }
}

void DnsProxyServer::tcpLoop(int fd) {
  while (waitReadable(fd, -1)) {
    int conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    std::unique_lock<std::mutex> lock(connMutex_);
    if (connections_ >= kMaxConnections) {
      ::close(conn);
      continue;
    }
    ++connections_;
    lock.unlock();
    // A client that stops mid-message must not hold its thread past the idle time.
    timeval idle{kTcpIdleMs / 1000, 0};
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    ::setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
    std::thread([this, conn] {
      serveConnection(conn);
      ::close(conn);
      std::lock_guard<std::mutex> guard(connMutex_);
      --connections_;
      connCv_.notify_all();
    }).detach();
  }
}

void DnsProxyServer::serveConnection(int fd) {
  // Length-prefixed messages, answered in turn until the client closes or idles.
  while (waitReadable(fd, kTcpIdleMs)) {
    unsigned char prefix[2];
    if (!readFull(fd, reinterpret_cast<char*>(prefix), 2)) return;
    size_t len = (static_cast<size_t>(prefix[0]) << 8) | prefix[1];
    std::string query(len, '\0');
    if (len == 0 || !readFull(fd, query.data(), len)) return;
    std::optional<std::string> answer = forwarder_.resolve(query, 0);
    if (!answer) return;
    std::string framed;
    framed.push_back(static_cast<char>(answer->size() >> 8));
    framed.push_back(static_cast<char>(answer->size() & 0xff));
    framed += *answer;
    if (!writeFull(fd, framed)) return;
  }
}

}  // namespace vorellin::fenwix
