#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/src/BackendServer.h"
#include "backend/src/DocumentService.h"
#include "backend/src/IdentityService.h"

namespace backend {

// A loopback address in 127.64.0.0 to 127.254.255.254 picked at random, for a test's own port-53
// resolver, so parallel test runs do not collide.
std::string randomLoopbackAddress();

// Asks one resolver (port 53) with the real dig: the answers' data, one a line, or "NXDOMAIN"; ""
// when nothing answered. Names, servers and options ("+tcp") are the test's own texts.
std::string digAnswer(const std::string& server, const std::string& name, const std::string& type = "A",
                      const std::string& options = "");

// A signed-in user as the identity service's password sign-in returns it.
struct SignedInUser {
  std::string uid;
  std::string idToken;
  std::string refreshToken;
};

// The stand-in started in-process on free loopback ports (HTTP: identity, secure token, document
// admin; gRPC: the document service), with a fresh data directory that is removed again; for
// tests. Aborts the test program when it cannot start.
//
// Document tests, in short:
//   backend::TestBackend backend({backend::TestBackend::passwordUser("alice@example.com", "secret-pass")});
//   auto alice = backend.signIn("alice@example.com", "secret-pass");  // uid and ID token
//   backend.setDocument("users/" + alice.uid, {{"userId", alice.uid}, {"n", 1}});
//   backend.mergeDocument("dnsServers/default", {{"primary", "192.0.2.1"}});
//   backend.deleteDocument("users/" + alice.uid);
//   backend.documentsHost()   // "127.0.0.1:<port>" for the client's host setting, TLS off
//   backend.projectId()       // the project the client must name
//   backend.restart()         // same ports and data: documents, users and signing key survive
// The admin calls go through the HTTP admin interface (see DocumentService.h) and return the
// commit's version (microseconds), or nullopt when the interface refused the change.
class TestBackend {
 public:
  explicit TestBackend(std::vector<SeedUser> users = {}, std::vector<std::string> apiKeys = {},
                       nlohmann::json documents = nullptr);
  ~TestBackend();
  TestBackend(const TestBackend&) = delete;
  TestBackend& operator=(const TestBackend&) = delete;

  BackendServer& server() { return *server_; }
  IdentityService& identity() { return server_->identity(); }
  DocumentService& documents() { return server_->documents(); }
  uint16_t port() const { return server_->port(); }
  std::string hostAndPort() const { return server_->hostAndPort(); }
  std::string baseURL() const { return server_->baseURL(); }
  std::string documentsHost() const { return server_->documentsHostAndPort(); }
  const std::string& projectId() const { return server_->options().projectId; }
  std::vector<RecordedRequest> requests() const { return server_->recorder().requests(); }
  std::vector<RecordedRequest> requestsForPath(const std::string& path) const {
    return server_->recorder().requestsForPath(path);
  }
  void clearRequests() { server_->recorder().clear(); }
  const std::string& dataDir() const { return dataDir_; }

  // Stops the whole stand-in (every open stream ends) and starts it again on the same ports over
  // the same data directory.
  void restart();
  // Only stops it; start() brings it back on the same ports.
  void stop();
  void start();

  // A seed user with just an e-mail and a password.
  static SeedUser passwordUser(const std::string& email, const std::string& password) {
    SeedUser user;
    user.email = email;
    user.password = password;
    return user;
  }

  // Password sign-in over the identity service's HTTP interface; aborts the test when it fails.
  SignedInUser signIn(const std::string& email, const std::string& password);

  std::optional<int64_t> setDocument(const std::string& path, const nlohmann::json& fields);
  std::optional<int64_t> mergeDocument(const std::string& path, const nlohmann::json& fields);
  std::optional<int64_t> deleteDocument(const std::string& path);
  // {"path", "fields", "updateTime"}, or null when the document does not exist.
  nlohmann::json getDocument(const std::string& path);
  // The documents directly in the collection, in path order.
  std::vector<nlohmann::json> listDocuments(const std::string& collectionPath);

  // Disables or enables an account through the admin interface; false when the interface refused.
  bool disableAccount(const std::string& uid) { return adminAccountAction(uid, "disable"); }
  bool enableAccount(const std::string& uid) { return adminAccountAction(uid, "enable"); }

 private:
  std::optional<int64_t> adminWrite(const std::string& method, const std::string& path,
                                    const nlohmann::json& fields);
  bool adminAccountAction(const std::string& uid, const std::string& action);

  std::string dataDir_;
  BackendOptions options_;
  std::unique_ptr<BackendServer> server_;
  std::string apiKey_;
};

}  // namespace backend
