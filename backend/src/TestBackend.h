#pragma once

#include <string>
#include <vector>

#include "backend/src/BackendServer.h"
#include "backend/src/IdentityService.h"

namespace backend {

// A loopback address in 127.64.0.0 to 127.254.255.254 picked at random, for a test's own port-53
// resolver, so parallel test runs do not collide.
std::string randomLoopbackAddress();

// The stand-in started in-process on a free loopback port, with a fresh data directory that is
// removed again; for tests. Aborts the test program when it cannot start.
class TestBackend {
 public:
  explicit TestBackend(std::vector<SeedUser> users = {}, std::vector<std::string> apiKeys = {});
  ~TestBackend();
  TestBackend(const TestBackend&) = delete;
  TestBackend& operator=(const TestBackend&) = delete;

  BackendServer& server() { return *server_; }
  IdentityService& identity() { return server_->identity(); }
  uint16_t port() const { return server_->port(); }
  std::string hostAndPort() const { return server_->hostAndPort(); }
  std::string baseURL() const { return server_->baseURL(); }
  std::vector<RecordedRequest> requests() const { return server_->recorder().requests(); }
  std::vector<RecordedRequest> requestsForPath(const std::string& path) const {
    return server_->recorder().requestsForPath(path);
  }
  void clearRequests() { server_->recorder().clear(); }
  const std::string& dataDir() const { return dataDir_; }

 private:
  std::string dataDir_;
  std::unique_ptr<BackendServer> server_;
};

}  // namespace backend
