// The proxy's DNS side: UDP and TCP listeners on every listen address, each query answered through
// the DNS-over-HTTPS forwarder.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Vorellin/dnscrypt/service/DohForwarder.h"
#include "Vorellin/dnscrypt/service/ProxyConfiguration.h"

namespace vorellin::fenwix {

class DnsProxyServer {
 public:
  explicit DnsProxyServer(const ProxyConfiguration& config);
  ~DnsProxyServer();  // stops
  DnsProxyServer(const DnsProxyServer&) = delete;
  DnsProxyServer& operator=(const DnsProxyServer&) = delete;

  // Binds UDP and TCP on every listen address and serves on threads of its own. False and a reason
  // when an address is malformed or cannot be bound; nothing is left listening then.
  bool start(std::string* error = nullptr);
  // Closes the listeners and waits for queries in flight.
  void stop();

 private:
  struct Listener {
    int udp = -1;
    int tcp = -1;
  };
  void udpLoop(int fd);
  void tcpLoop(int fd);
  void serveConnection(int fd);
  void workerLoop();
  bool waitReadable(int fd, int timeoutMs);  // false on stop, timeout or error

  ProxyConfiguration config_;
  DohForwarder forwarder_;
  std::vector<Listener> listeners_;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  bool running_ = false;
  std::vector<std::thread> threads_;

  // UDP queries wait here for a worker.
  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<std::function<void()>> queue_;

  // TCP connections each have a thread; stop() waits for them.
  std::mutex connMutex_;
  std::condition_variable connCv_;
  int connections_ = 0;
};

}  // namespace vorellin::fenwix
