#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/src/AdminGuard.h"
#include "backend/src/RequestRecorder.h"
#include "backend/src/Service.h"

namespace httplib {
class Server;
}

namespace backend {

class IdentityService;
class DocumentService;

struct BackendOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;        // 0: any free port
  uint16_t documentsPort = 0;  // the document service's gRPC port; 0: any free port
  std::string dataDir;      // "": keep everything in memory
  std::string seedFile;     // "": none
  std::optional<nlohmann::json> seed;  // in-process seed, applied after seedFile
  std::string projectId = "vorellin-local";
  bool quiet = false;       // no request lines on stderr
  size_t recordRequests = 0;  // how many recent requests the recorder keeps; 0: none (tests ask for it)
};

// Limits that keep one client from exhausting the stand-in.
inline constexpr size_t kMaxRequestBodyBytes = 1 << 20;  // larger bodies get 413
inline constexpr int kWorkerThreads = 128;               // connections served at the same time
inline constexpr int kReadTimeoutSeconds = 5;            // a client silent this long is dropped

// The local stand-in of the hosted backend: one loopback HTTP server carrying the HTTP services,
// plus services with listeners of their own. Recent HTTP requests are recorded when asked for.
class BackendServer {
 public:
  explicit BackendServer(BackendOptions options);
  ~BackendServer();  // stops

  // Adds a service before start().
  void addService(std::unique_ptr<Service> service);

  // Locks the data directory (refused while another program has it), loads it, binds and serves on
  // a thread of its own.
  bool start(std::string* error = nullptr);
  void stop();
  bool running() const { return running_; }

  uint16_t port() const { return port_; }
  std::string hostAndPort() const;  // "127.0.0.1:<port>"
  std::string baseURL() const;      // "http://127.0.0.1:<port>"

  IdentityService& identity() { return *identity_; }
  DocumentService& documents() { return *documents_; }
  // "127.0.0.1:<port>" of the document service.
  std::string documentsHostAndPort() const;
  RequestRecorder& recorder() { return recorder_; }
  const BackendOptions& options() const { return options_; }
  // The admin interface's token (made anew at each start) and the 0600 file that holds it.
  const std::string& adminToken() const { return admin_.token(); }
  const std::string& adminTokenFile() const { return admin_.tokenFile(); }

 private:
  BackendOptions options_;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
  IdentityService* identity_ = nullptr;  // owned by services_
  DocumentService* documents_ = nullptr;  // owned by services_
  std::vector<std::unique_ptr<Service>> services_;
  RequestRecorder recorder_;
  AdminGuard admin_;
  uint16_t port_ = 0;
  bool running_ = false;
  int dataDirLock_ = -1;  // the data directory, locked (flock) while the program uses it

  void unlockDataDir();
};

}  // namespace backend
