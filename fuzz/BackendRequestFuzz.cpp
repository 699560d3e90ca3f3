// Raw HTTP requests to the backend stand-in, over loopback to an in-process server: request parsing,
// routing, every identity-service handler and the admin interface ("@admin-token@" in the input
// stands for this run's admin token).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "backend/src/BackendServer.h"

namespace {

std::unique_ptr<backend::BackendServer> gServer;
uint32_t gRuns = 0;

// A fresh server now and then: the accounts that sign-up requests make would otherwise pile up.
void startServer() {
  if (gServer) gServer->stop();
  backend::BackendOptions options;
  options.quiet = true;
  options.seed = nlohmann::json{{"users", {{{"uid", "uid-ann"}, {"email", "ann@example.com"}, {"password", "secret123"}}}}};
  gServer = std::make_unique<backend::BackendServer>(options);
  if (!gServer->start()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startServer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (++gRuns % 50000 == 0) startServer();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) std::abort();
  // A source address of its own from 127/8 for every connection: closed connections linger (TIME_WAIT)
  // and would use up the ports of one address within minutes.
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(0x7F000000u | (1 + gRuns % 0xFFFFFD));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) std::abort();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(gServer->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // libFuzzer's timer signal may interrupt any of these calls; an interrupted connect goes on by itself.
  while (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EISCONN) break;
    if (errno == EINTR || errno == EALREADY) {
      pollfd wait{fd, POLLOUT, 0};
      ::poll(&wait, 1, 1000);
      continue;
    }
    std::fprintf(stderr, "the backend stand-in no longer takes connections: %s\n", std::strerror(errno));
    std::abort();
  }
  std::string request(reinterpret_cast<const char*>(data), size);
  const std::string placeholder = "@admin-token@";
  for (size_t at = request.find(placeholder); at != std::string::npos; at = request.find(placeholder, at + 1))
    request.replace(at, placeholder.size(), gServer->adminToken());
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  // Read until the server closes: the request has then been handled completely.
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
  ::close(fd);
  return 0;
}
