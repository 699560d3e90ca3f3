#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace backend {

// A TCP relay on a free loopback port in front of one target port, holding every chunk of bytes it
// reads for `oneWay` before passing it on, in each direction, as a long-distance or mobile link
// does: a round trip through it takes twice that. For tests and benchmarks of clients far from
// the service. A new connection reaches the target only after the three legs of a TCP handshake,
// so the target's first bytes reach the client two round trips after it connected, as over a real
// link (the kernel completes the client's own connect at once). A connection whose target refuses
// is closed; a reset on one side reaches the other as an orderly end, and ends both directions.
//
//   backend::SlowLink link(backend.port(), std::chrono::milliseconds(150));
//   link.hostAndPort()   // "127.0.0.1:<port>", in place of the target's
class SlowLink {
 public:
  SlowLink(uint16_t targetPort, std::chrono::milliseconds oneWay);
  ~SlowLink();
  SlowLink(const SlowLink&) = delete;
  SlowLink& operator=(const SlowLink&) = delete;

  uint16_t port() const { return port_; }
  std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }
  // "http://127.0.0.1:<port>", for an HTTP target.
  std::string baseURL() const { return "http://" + hostAndPort(); }
  // Connections taken from clients so far, and those still open in either direction.
  int accepted() const { return accepted_; }
  int open() const;

 private:
  struct Connection;
  void acceptLoop();
  void relay(const std::shared_ptr<Connection>& connection);
  // A connection to the target, or -1 when it refused or the link is ending.
  int connectToTarget() const;
  static void closeAll(Connection& connection);

  uint16_t targetPort_;
  std::chrono::milliseconds oneWay_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::list<std::shared_ptr<Connection>> connections_;
  std::thread acceptor_;
};

}  // namespace backend
