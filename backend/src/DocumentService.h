#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "backend/src/DocumentStore.h"
#include "backend/src/Service.h"

namespace grpc {
class Server;
}

namespace backend {

class IdentityService;

// Limits that keep one client from exhausting the document service, far above what the
// application and the SDK ever send.
inline constexpr size_t kMaxCommitWrites = 500;           // more in one commit: INVALID_ARGUMENT
inline constexpr size_t kMaxCommitBytes = 4 << 20;        // the writes' encoded size; more: INVALID_ARGUMENT
inline constexpr size_t kMaxBatchGetBytes = 16 << 20;     // the documents one lookup answers; more: INVALID_ARGUMENT
// A gRPC message larger is cut off by the transport (RESOURCE_EXHAUSTED): room enough that a client's
// commit over the bound gets the service's final answer, and still what one request may hold.
inline constexpr size_t kMaxRequestBytes = 2 * kMaxCommitBytes;
inline constexpr size_t kMaxUnsentBytesPerStream = 16 << 20;  // a Listen further behind ends: RESOURCE_EXHAUSTED
inline constexpr int kMaxStreamsPerUser = 64;             // open Listen and Write streams; more: RESOURCE_EXHAUSTED
// What all Listen streams together hold for their clients (requests not yet handled, changes and
// snapshots not yet sent); past it the stream holding the most ends: RESOURCE_EXHAUSTED.
inline constexpr size_t kMaxHeldBytesTotal = 128 << 20;

// The open Listen and Write streams of each user, at most kMaxStreamsPerUser each: one user cannot
// take every thread of the service.
class StreamSlots {
 public:
  // One of a user's slots for as long as it lives, unless he held them all already.
  class Slot {
   public:
    Slot(StreamSlots& slots, std::string uid);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    bool taken() const { return taken_; }

   private:
    StreamSlots& slots_;
    std::string uid_;
    bool taken_ = false;
  };

  int open(const std::string& uid) const;  // the user's slots taken

 private:
  mutable std::mutex mutex_;
  std::map<std::string, int> open_;  // only users with a slot taken
};

// The document service: the `variru.verorariv.v1.Verorariv` gRPC service on a loopback port of
// its own (Listen, Write, Commit, BatchGetDocuments), over a DocumentStore kept in
// "<data dir>/documents" (in memory without a data directory).
//
// Every call must carry "authorization: Bearer <ID token>" signed by the identity service and not
// expired or revoked (else UNAUTHENTICATED). Access rules (else PERMISSION_DENIED):
//   "dnsServers", "admin"                 read by any signed-in user
//   "users", "customBlacklist", "pin"     read and write of the user's own documents: a document
//                                         whose id is a user's uid is that user's whatever its
//                                         fields say, any other is the user's its "userId" names;
//                                         no write may leave "userId" naming another user (one
//                                         named after the writer that still names whom it found
//                                         there is left naming the writer); queries must filter
//                                         on "userId" == uid
//   "uninstall"                           create by any signed-in user
// A write whose precondition fails hears so only when the rules let the caller change the document
// as it stands; otherwise PERMISSION_DENIED, whether or not the document exists.
//
// Admin interface on the backend's HTTP server, for loopback clients with the admin token (see
// AdminGuard); plays changes made in the cloud (no rules) and they reach every open Listen stream
// like any commit:
//   GET    /admin/v1/documents/<document path>     {"path", "fields", "updateTime"} or 404
//   GET    /admin/v1/documents/<collection path>   {"documents": [...]} in path order
//   PUT    /admin/v1/documents/<document path>     body: the fields; replaces the document
//   PATCH  /admin/v1/documents/<document path>     body: the fields; merges them (creates)
//   DELETE /admin/v1/documents/<document path>
// Field JSON: strings, numbers (integers stay integers), booleans, null, arrays, objects (maps);
// {"__timestamp": [seconds, nanos]} is a timestamp, {"__bytes": "<base64>"} bytes. Writes answer
// {"version": <microseconds>}. A path whose segments are not valid UTF-8, or are "." or "..", and
// names or texts that are not valid UTF-8 are refused with 400. A document stored with such (before
// they were refused) is shown escaped (see showUtf8) with "escaped": true, and DELETE takes its path's
// own bytes (percent-encoded). Listen streams leave out a document whose path is not UTF-8: no client
// could decode a message naming it. A document an earlier version stored nesting too deep (see
// DocumentStore::setAside) is shown with "tooDeep": true and without its fields; PUT replaces it and
// DELETE removes it, PATCH is refused.
//
// Seed key "documents": {"<document path>": {fields}, ...}; a document that already exists is left
// as it is.
class DocumentService : public Service {
 public:
  DocumentService(IdentityService& identity, std::string projectId, std::string dataDir,
                  std::string host = "127.0.0.1", uint16_t port = 0);
  ~DocumentService() override;

  std::string name() const override { return "documents"; }
  void registerRoutes(httplib::Server& server) override;
  bool open(std::string* error) override;
  bool applySeed(const nlohmann::json& seed, std::string* error) override;
  bool start(std::string* error) override;
  void stop() override;

  uint16_t port() const { return port_; }
  std::string hostAndPort() const;  // "127.0.0.1:<port>"
  DocumentStore& store() { return *store_; }

  // Starts the thread that reads a Listen stream's requests; throws std::system_error when it
  // cannot, as std::thread does. Tests replace it to make the start fail.
  using ThreadStarter = std::function<std::thread(std::function<void()>)>;
  void setThreadStarterForTesting(ThreadStarter starter) { startThread_ = std::move(starter); }

  // For tests: runs at each step of a Listen stream with the stream's uid: "read" (its reader has
  // read a request), "request" (before the stream handles it), "changes" (a commit reaches the
  // stream); what it throws, that step throws. None by default.
  using StreamFault = std::function<void(const std::string& uid, const std::string& step)>;
  void setStreamFaultForTesting(StreamFault fault);

  // The admin operations, as the HTTP routes run them. Return the commit's version, or nullopt
  // with *error for a bad path or fields.
  std::optional<StoreVersion> adminSet(const std::string& path, const nlohmann::json& fields,
                                       bool merge, std::string* error = nullptr);
  std::optional<StoreVersion> adminDelete(const std::string& path, std::string* error = nullptr);
  // The document as JSON ({"path", "fields", "updateTime"}) or null when missing.
  nlohmann::json adminGet(const std::string& path) const;
  nlohmann::json adminList(const std::string& collectionPath) const;

  // For tests: listens to queries of this collection are refused as the access rules refuse them
  // ("" refuses none, the default).
  void refuseQueriesOnForTesting(const std::string& collection);

  // For tests: from the next start on, the service speaks TLS with this certificate and key (PEM
  // files), as the hosted one does; plain text by default.
  void setTlsForTesting(std::string certFile, std::string keyFile) {
    tlsCertFile_ = std::move(certFile);
    tlsKeyFile_ = std::move(keyFile);
  }

  struct Impl;

 private:
  IdentityService& identity_;
  std::string projectId_;
  std::string dataDir_;
  std::string host_;
  uint16_t requestedPort_;
  std::string tlsCertFile_, tlsKeyFile_;
  uint16_t port_ = 0;
  std::unique_ptr<DocumentStore> store_;
  mutable std::mutex refusedMutex_;
  std::string refusedCollection_;
  ThreadStarter startThread_ = [](std::function<void()> run) { return std::thread(std::move(run)); };
  mutable std::mutex faultMutex_;
  StreamFault streamFault_;
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<grpc::Server> server_;
};

// Field JSON <-> wire values, as the admin interface reads and writes them. Names and texts that are
// not valid UTF-8 are refused on the way in; on the way out (stored before they were refused) they
// are shown by showUtf8, and *escaped is set.
bool jsonToValue(const nlohmann::json& json, variru::verorariv::v1::Value* value, std::string* error);
nlohmann::json valueToJson(const variru::verorariv::v1::Value& value, bool* escaped = nullptr);
// The text itself when it is valid UTF-8; otherwise every byte that starts no valid sequence as
// "\xHH" and every backslash doubled, so the bytes can be told exactly from the result.
std::string showUtf8(const std::string& text, bool* escaped = nullptr);

}  // namespace backend
