// The stand-in's document service under a name of its own, as the hosted one is reached, whose
// first address drops every packet (a broken IPv6 path beside working IPv4); for the database's
// end-to-end tests and benchmarks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "backend/dns/DnsAnswer.h"
#include "backend/dns/LocalCertificateAuthority.h"
#include "backend/src/TestBackend.h"

namespace vrvtest {

// Binds `fd` to a free port of 127.0.0.1: the port, or 0 when none could be had.
inline uint16_t BindFreeLoopbackPort(int fd) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// A name server on a loopback UDP port: `name` has the IPv6 address ::1 and the IPv4 address
// 127.0.0.1, no other name exists.
class TwoAddressNameServer {
 public:
  explicit TwoAddressNameServer(const std::string& name)
      : name_(backend::normaliseDnsName(name)),
        fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
        port_(BindFreeLoopbackPort(fd_)),
        thread_([this] { Serve(); }) {}
  ~TwoAddressNameServer() {
    stopping_ = true;
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  uint16_t port() const { return port_; }  // 0 when it could not listen

 private:
  void Serve() {
    std::string buffer(4096, '\0');
    while (!stopping_) {
      pollfd waiting{fd_, POLLIN, 0};
      if (::poll(&waiting, 1, 50) < 1) continue;
      sockaddr_storage from{};
      socklen_t length = sizeof(from);
      ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got <= 0) continue;
      std::string query(buffer.data(), static_cast<size_t>(got));
      auto table = [this](const std::string& asked, bool isV6) {
        if (backend::normaliseDnsName(asked) != name_) return backend::DnsLookup{false, ""};
        return backend::DnsLookup{true, isV6 ? "::1" : "127.0.0.1"};
      };
      auto reply = backend::answerDnsQuery(query, {}, table, backend::udpAnswerLimit(query));
      if (reply) ::sendto(fd_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }

  const std::string name_;
  const int fd_;
  const uint16_t port_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// [::1]:port with a full accept queue: a new connection to it hangs, as to an address whose
// packets are dropped, where the system drops what a full queue cannot take (Linux's default).
class DeadListener {
 public:
  explicit DeadListener(uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    int on = 1;
    listen_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    filler_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    full_ = listen_ >= 0 && filler_ >= 0 && ::setsockopt(listen_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0 &&
            ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && ::listen(listen_, 0) == 0 &&
            ::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    hangs_ = full_ && ConnectHangs(address);
  }
  ~DeadListener() {
    for (int fd : {filler_, listen_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  bool full() const { return full_; }
  bool hangs() const { return hangs_; }

 private:
  // Whether a connection to `address` is still under way after a while, neither made nor refused.
  static bool ConnectHangs(const sockaddr_in6& address) {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool pending = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
                   errno == EINPROGRESS;
    pollfd waiting{fd, POLLOUT, 0};
    pending = pending && ::poll(&waiting, 1, 300) == 0;
    ::close(fd);
    return pending;
  }

  int listen_ = -1;
  int filler_ = -1;
  bool full_ = false;
  bool hangs_ = false;
};

// Serves the backend's document service over TLS, under a name that its name server gives first
// ::1, where a DeadListener drops every new connection, then 127.0.0.1, where the service is; the
// client trusts the throw-away certificate authority that signed the service's certificate. One
// per process: gRPC reads the roots it trusts once, at the first TLS connection.
//
//   vrvtest::DeadFirstAddress named(standIn.backend());
//   ASSERT_EQ(named.error(), "");
//   standIn.UseHosts(standIn.backend().baseURL(), named.documentsHost(), /*documentsTls=*/true);
class DeadFirstAddress {
 public:
  static constexpr const char* kName = "documents.stand-in.test";

  explicit DeadFirstAddress(backend::TestBackend& backend)
      : certificates_(backend.dataDir() + "-certificates"), nameServer_(kName) {
    std::filesystem::create_directories(certificates_);
    backend::LocalCertificateAuthority authority;
    if (!authority.create(certificates_.string(), &error_, {kName})) return;
    ::setenv("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", authority.caFile().c_str(), 1);
    backend.documents().stop();
    backend.documents().setTlsForTesting(authority.certFile(), authority.keyFile());
    if (!backend.documents().start(&error_)) return;
    port_ = backend.documents().port();
    dead_ = std::make_unique<DeadListener>(port_);
    if (!dead_->full()) {
      unsupported_ = "no listener with a full accept queue on [::1]:" + std::to_string(port_) + " (no IPv6 loopback?)";
    } else if (!dead_->hangs()) {
      unsupported_ = "a connection to a full accept queue does not hang here (tcp_abort_on_overflow?)";
    }
    if (nameServer_.port() == 0) error_ = "no name server";
  }
  ~DeadFirstAddress() {
    ::unsetenv("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH");
    std::filesystem::remove_all(certificates_);
  }

  const std::string& error() const { return error_; }  // "" when all is in place
  // Why this machine cannot play a dead address, or "".
  const std::string& unsupported() const { return unsupported_; }
  // The client's host setting: the name, resolved by the name server above.
  std::string documentsHost() const {
    return "dns://127.0.0.1:" + std::to_string(nameServer_.port()) + "/" + kName + ":" + std::to_string(port_);
  }

 private:
  std::filesystem::path certificates_;
  TwoAddressNameServer nameServer_;
  std::unique_ptr<DeadListener> dead_;
  uint16_t port_ = 0;
  std::string error_;
  std::string unsupported_;
};

}  // namespace vrvtest
