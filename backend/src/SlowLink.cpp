#include "backend/src/SlowLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace backend {

namespace {

using Clock = std::chrono::steady_clock;

// What one direction may hold before it stops reading, so a peer that stops reading cannot make
// the relay keep everything.
constexpr size_t kMaxHeldBytes = 8 << 20;

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::abort();
}

void noDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

}  // namespace

// One direction of a connection: what was read from `from` and waits for its time to go to `to`.
struct Direction {
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool end = false;    // the sender closed its side
    bool reset = false;  // the sender's side failed: end both
  };
  int from = -1;
  int to = -1;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Chunk> chunks;
  size_t held = 0;
  bool stopped = false;
};

struct SlowLink::Connection {
  std::mutex fdMutex;  // the descriptors are shut down only while they are this connection's
  int client = -1;
  int upstream = -1;
  Direction toServer, toClient;
  std::thread owner;
  std::atomic<bool> finished{false};

  // Unblocks every thread of the connection.
  void breakOff() {
    {
      std::lock_guard<std::mutex> lock(fdMutex);
      for (int fd : {client, upstream}) {
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
      }
    }
    for (Direction* direction : {&toServer, &toClient}) {
      std::lock_guard<std::mutex> lock(direction->mutex);
      direction->stopped = true;
      direction->changed.notify_all();
    }
  }
};

namespace {

void readInto(Direction& direction, std::chrono::milliseconds oneWay) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    ssize_t got = ::recv(direction.from, buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    Direction::Chunk chunk;
    chunk.due = Clock::now() + oneWay;
    if (got > 0) {
      chunk.bytes.assign(buffer.data(), static_cast<size_t>(got));
    } else {
      chunk.end = got == 0;
      chunk.reset = got < 0;
    }
    std::unique_lock<std::mutex> lock(direction.mutex);
    direction.changed.wait(lock, [&] { return direction.stopped || direction.held < kMaxHeldBytes; });
    if (direction.stopped) return;
    direction.held += chunk.bytes.size();
    bool last = got <= 0;
    direction.chunks.push_back(std::move(chunk));
    direction.changed.notify_all();
    if (last) return;
  }
}

enum class Outcome {
  Ended,     // the sender's end was passed on; the other direction goes on
  Reset,     // the sender's side failed: the connection ends both ways
  PeerGone,  // the receiver is gone: nothing more goes its way, what it sent before still comes back
};

// Passes each chunk on when it is due.
Outcome writeOut(Direction& direction) {
  for (;;) {
    Direction::Chunk chunk;
    {
      std::unique_lock<std::mutex> lock(direction.mutex);
      for (;;) {
        if (direction.stopped) return Outcome::Reset;
        if (!direction.chunks.empty() && direction.chunks.front().due <= Clock::now()) break;
        if (direction.chunks.empty()) {
          direction.changed.wait(lock);
        } else {
          direction.changed.wait_until(lock, direction.chunks.front().due);
        }
      }
      chunk = std::move(direction.chunks.front());
      direction.chunks.pop_front();
      direction.held -= chunk.bytes.size();
      direction.changed.notify_all();
    }
    if (chunk.reset) return Outcome::Reset;
    if (chunk.end) {
      ::shutdown(direction.to, SHUT_WR);
      return Outcome::Ended;
    }
    size_t sent = 0;
    while (sent < chunk.bytes.size()) {
      ssize_t n = ::send(direction.to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // Its reader stops; the rest of the sender's bytes go nowhere, as they would on a link.
        ::shutdown(direction.from, SHUT_RD);
        std::lock_guard<std::mutex> lock(direction.mutex);
        direction.stopped = true;
        direction.chunks.clear();
        direction.held = 0;
        direction.changed.notify_all();
        return Outcome::PeerGone;
      }
      sent += static_cast<size_t>(n);
    }
  }
}

}  // namespace

SlowLink::SlowLink(uint16_t targetPort, std::chrono::milliseconds oneWay)
    : targetPort_(targetPort), oneWay_(oneWay) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) die("SlowLink: socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    die("SlowLink: listen");
  }
  port_ = ntohs(address.sin_port);
  if (::pipe2(wakeFds_, O_CLOEXEC) != 0) die("SlowLink: pipe");
  acceptor_ = std::thread([this] { acceptLoop(); });
}

SlowLink::~SlowLink() {
  stopping_ = true;
  char wake = 0;
  (void)!::write(wakeFds_[1], &wake, 1);
  acceptor_.join();
  std::list<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (const auto& connection : connections) connection->breakOff();
  for (const auto& connection : connections) connection->owner.join();
  for (int fd : {listenFd_, wakeFds_[0], wakeFds_[1]}) ::close(fd);
}

int SlowLink::open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int open = 0;
  for (const auto& connection : connections_) open += connection->finished ? 0 : 1;
  return open;
}

void SlowLink::acceptLoop() {
  for (;;) {
    pollfd waiting[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(waiting, 2, -1) < 0 && errno != EINTR) return;
    if (stopping_) return;
    if (!(waiting[0].revents & POLLIN)) continue;
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++accepted_;
    noDelay(client);
    auto connection = std::make_shared<Connection>();
    connection->client = client;
    std::lock_guard<std::mutex> lock(mutex_);
    // Connections that have ended leave the list here, so it grows only with the open ones.
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->finished) {
        (*it)->owner.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    connections_.push_back(connection);
    connection->owner = std::thread([this, connection] { relay(connection); });
  }
}

void SlowLink::relay(const std::shared_ptr<Connection>& connection) {
  // The client's bytes start on their way at once; they go on once the target has the connection.
  connection->toServer.from = connection->client;
  std::thread clientReader([&] { readInto(connection->toServer, oneWay_); });
  {
    // The handshake's three legs (SYN, SYN-ACK, ACK) before the target takes the connection.
    std::unique_lock<std::mutex> lock(connection->toServer.mutex);
    const Clock::time_point accepted = Clock::now() + 3 * oneWay_;
    connection->toServer.changed.wait_until(lock, accepted, [&] { return connection->toServer.stopped; });
  }
  int upstream = stopping_ ? -1 : connectToTarget();
  if (upstream < 0) {
    connection->breakOff();
    clientReader.join();
    closeAll(*connection);
    return;
  }
  noDelay(upstream);
  {
    std::lock_guard<std::mutex> lock(connection->fdMutex);
    connection->upstream = upstream;
  }
  // The destructor may have broken the connection off before it had its upstream.
  if (stopping_) connection->breakOff();
  connection->toServer.to = upstream;
  connection->toClient.from = upstream;
  connection->toClient.to = connection->client;

  auto writer = [connection](Direction& direction) {
    if (writeOut(direction) == Outcome::Reset) connection->breakOff();
  };
  std::thread threads[] = {
      std::thread([&] { readInto(connection->toClient, oneWay_); }),
      std::thread([&] { writer(connection->toServer); }),
  };
  writer(connection->toClient);
  // Both directions end on their own (each side's end passed on) or together on a reset.
  clientReader.join();
  for (auto& thread : threads) thread.join();
  closeAll(*connection);
}

int SlowLink::connectToTarget() const {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(targetPort_);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
  // A target that does not accept must not hold up the link's end.
  bool pending = !connected && errno == EINPROGRESS;
  while (pending && !stopping_) {
    pollfd waiting{fd, POLLOUT, 0};
    if (::poll(&waiting, 1, 50) < 1) continue;
    int error = 0;
    socklen_t length = sizeof(error);
    connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    pending = false;
  }
  if (!connected || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SlowLink::closeAll(Connection& connection) {
  {
    std::lock_guard<std::mutex> lock(connection.fdMutex);
    for (int* fd : {&connection.client, &connection.upstream}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }
  connection.finished = true;
}

}  // namespace backend
