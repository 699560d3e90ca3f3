#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "variru/verorariv/v1/document.pb.h"
#include "variru/verorariv/v1/write.pb.h"

namespace leveldb {
class DB;
}

namespace backend {

// The largest document a write may leave, encoded: far below what a client can receive, so that no
// document stops its owner's sync. One stored before the bound can still be read and deleted.
inline constexpr size_t kMaxDocumentBytes = 1 << 20;

// How deep a document's values nest at most: as deep as the values of a client's write. No write may
// name a field path or leave a document that nests deeper; one stored deeper by an earlier version is
// set aside (see DocumentStore::setAside).
inline constexpr int kMaxNesting = 20;

// A store version: microseconds since the epoch of the commit that made it. Strictly increasing.
using StoreVersion = int64_t;

// One document as a commit left it: `after` is null when the document no longer exists.
struct DocumentChangeRecord {
  std::string path;  // "users/abc"
  std::shared_ptr<const variru::verorariv::v1::Document> before;
  std::shared_ptr<const variru::verorariv::v1::Document> after;
};

// Everything one commit changed, in write order, at one version.
struct ChangeSet {
  StoreVersion version = 0;
  std::vector<DocumentChangeRecord> changes;
  size_t bytes = 0;  // encoded size of the documents as the commit left them
};

// What is left of a deleted document: when it went, and the "userId" it named (so that a client
// resuming a listen hears of the deletion only when it was its document).
struct Tombstone {
  StoreVersion version = 0;
  std::string userId;
};
using Tombstones = std::map<std::string, Tombstone>;  // by path

// The outcome of a commit: its version and one result per write.
struct CommitOutcome {
  int code = 0;  // a gRPC status code; 0 is success
  std::string message;
  StoreVersion version = 0;
  std::vector<variru::verorariv::v1::WriteResult> results;
};

// Decides whether a write may change a document: (path, document before or null, after or null).
// Returns 0 or a gRPC status code with *message; may amend `after`, which is then stored as amended.
// A write whose precondition fails is vetted first with `after` null, as one that may change the
// document as it stands.
using WriteCheck = std::function<int(const std::string& path,
                                     const variru::verorariv::v1::Document* before,
                                     variru::verorariv::v1::Document* after,
                                     std::string* message)>;

// The documents of one database, by path. Every commit is atomic, gets a version greater than
// every earlier one, and is announced to the subscribers under the store's lock, so that a
// subscriber that reads a snapshot also under the lock sees every later change exactly once.
// Documents (and the tombstones of deleted ones) persist in LevelDB when a directory is given.
class DocumentStore {
 public:
  using Subscriber = std::function<void(const ChangeSet&)>;
  using DocumentPtr = std::shared_ptr<const variru::verorariv::v1::Document>;

  // `projectId` names the resources ("projects/<id>/databases/(default)/documents/...").
  explicit DocumentStore(std::string projectId);
  ~DocumentStore();

  // Opens (or creates) the LevelDB store under `directory`; false with *error when it cannot.
  bool open(const std::string& directory, std::string* error);

  // Applies the writes atomically: all of them or none. `check` (may be empty) vets every
  // document a write changes. A field path or a document left nesting deeper than kMaxNesting, or
  // a document left larger than kMaxDocumentBytes, refuses the commit with INVALID_ARGUMENT. The
  // result of an array transform is null: whoever takes it applies the transform to the value it had.
  CommitOutcome commit(const std::vector<variru::verorariv::v1::Write>& writes, const WriteCheck& check);

  // Runs `reader` under the lock with the current documents (by path) and version.
  void read(const std::function<void(const std::map<std::string, DocumentPtr>& documents,
                                     const Tombstones& tombstones,
                                     StoreVersion version)>& reader) const;
  DocumentPtr get(const std::string& path) const;
  StoreVersion version() const;

  // The documents an earlier version stored nesting deeper than kMaxNesting, by path: the store
  // cannot read them whole, nor a client take them. Each is held as its name, times and "userId"
  // alone, for the access rules and the admin interface; reads leave it out. A write that replaces
  // it whole, or deletes it, ends its setting aside; one that would merge into it is refused with
  // FAILED_PRECONDITION.
  std::map<std::string, DocumentPtr> setAside() const;

  // Adds a subscriber; the returned id removes it. Subscribers run under the store's lock and
  // must only queue work.
  int subscribe(Subscriber subscriber);
  void unsubscribe(int id);
  size_t subscriberCount() const;  // a stream that is gone leaves none

  const std::string& databaseName() const { return databaseName_; }  // projects/<p>/databases/(default)
  std::string documentName(const std::string& path) const;
  // The path of a document resource name of this database, or nullopt.
  std::optional<std::string> pathOfName(const std::string& name) const;

 private:
  StoreVersion nextVersion();

  std::string projectId_;
  std::string databaseName_;
  mutable std::mutex mutex_;
  std::map<std::string, DocumentPtr> documents_;
  std::map<std::string, DocumentPtr> setAside_;
  Tombstones tombstones_;
  StoreVersion version_ = 0;
  std::unique_ptr<leveldb::DB> db_;
  std::map<int, Subscriber> subscribers_;
  int nextSubscriber_ = 1;
};

// The uid a document's "userId" names, the owner by which the access rules judge it; "" when it
// names none.
std::string userIdOf(const variru::verorariv::v1::Document* doc);

// Timestamp <-> version.
google::protobuf::Timestamp timestampOfVersion(StoreVersion version);
StoreVersion versionOfTimestamp(const google::protobuf::Timestamp& timestamp);

}  // namespace backend
