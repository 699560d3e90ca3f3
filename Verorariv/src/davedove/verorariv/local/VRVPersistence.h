#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVPERSISTENCE_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVPERSISTENCE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace local {

class IndexManager;
class MutationQueue;
class QueryCache;
class ReferenceSet;
class RemoteDocumentCache;
class VRVLRUGarbageCollector;

// The live targets of the local store, by target id.
using LiveQueryMap = std::unordered_map<TargetId, QueryDataPtr>;

// What takes part in the transaction bracket around every local-store operation.
class VRVTransactional {
 public:
  virtual ~VRVTransactional() = default;

  virtual void startTransaction(absl::string_view label) = 0;
  virtual void commitTransaction() = 0;
};

// Runs one local-store operation inside the participant's transaction, when there is one.
class VRVTransactionRunner {
 public:
  VRVTransactionRunner() = default;

  // Installs the participant; from now on it must stay alive while the runner is used.
  void SetBackingPersistence(std::weak_ptr<VRVTransactional> db) {
    db_ = std::move(db);
    expect_db_ = true;
  }

  // start, callback, commit; the callback's result is the runner's.
  template <typename Callback>
  auto operator()(absl::string_view label, Callback&& callback) const
      -> decltype(std::forward<Callback>(callback)()) {
    using Result = decltype(std::forward<Callback>(callback)());
    std::shared_ptr<VRVTransactional> db = db_.lock();
    if (db) {
      db->startTransaction(label);
    } else {
      HARD_ASSERT(!expect_db_, "Transaction runner accessed without underlying db when it expected one");
    }
    if constexpr (std::is_void_v<Result>) {
      std::forward<Callback>(callback)();
      if (db) db->commitTransaction();
    } else {
      Result result = std::forward<Callback>(callback)();
      if (db) db->commitTransaction();
      return result;
    }
  }

 private:
  std::weak_ptr<VRVTransactional> db_;
  bool expect_db_ = false;
};

// Told of every change of what refers to a document, so that it can decide which cached documents
// stay.
class VRVReferenceDelegate {
 public:
  virtual ~VRVReferenceDelegate() = default;

  // Documents referenced in `pins` count as in use; the set is the caller's and outlives this.
  virtual void addInMemoryPins(ReferenceSet* pins) = 0;
  // Forgets `pins` when they are the ones in use: their owner is going away.
  virtual void removeInMemoryPins(ReferenceSet* pins) = 0;
  // The target was released.
  virtual void removeTarget(const QueryDataPtr& queryData) = 0;
  virtual void addReference(const model::DocumentKey& key) = 0;
  // A reference that kept the document alive is gone.
  virtual void removeReference(const model::DocumentKey& key) = 0;
  // The last mutation on the document was removed.
  virtual void removeMutationReference(const model::DocumentKey& key) = 0;
  // A limbo-resolution update touched the document.
  virtual void limboDocumentUpdated(const model::DocumentKey& key) = 0;
  virtual model::ListenSequenceNumber currentSequenceNumber() = 0;
};

// What the LRU collector asks of the persistence it collects.
class VRVLRUDelegate {
 public:
  using TargetCallback = std::function<void(const QueryDataPtr&)>;
  using OrphanedDocumentCallback =
      std::function<void(const model::DocumentKey&, model::ListenSequenceNumber)>;

  virtual ~VRVLRUDelegate() = default;

  // Once with each stored target.
  virtual void enumerateTargetsUsingCallback(const TargetCallback& callback) = 0;
  // Once with each tracked document that nothing holds, with the number of its last use.
  virtual void enumerateMutationsUsingCallback(const OrphanedDocumentCallback& callback) = 0;
  // Removes the documents nothing holds whose number is at most `upperBound`; the count removed.
  virtual int32_t removeOrphanedDocumentsThroughSequenceNumber(
      model::ListenSequenceNumber upperBound) = 0;
  // Removes the targets whose number is at most `upperBound`, except the live ones; the count.
  virtual int32_t removeTargetsThroughSequenceNumber(model::ListenSequenceNumber upperBound,
                                                     const LiveQueryMap& liveQueries) = 0;
  // Bytes the cache takes.
  virtual int64_t byteSize() = 0;
  // How many numbers the two enumerations produce together.
  virtual int32_t sequenceNumberCount() = 0;
  // The collector this delegate owns.
  virtual std::shared_ptr<VRVLRUGarbageCollector> gc() = 0;
};

// The local store's storage: its caches, its per-user mutation queues and the transaction
// bracket. Everything runs on the worker queue.
class VRVPersistence {
 public:
  virtual ~VRVPersistence() = default;

  // Releases the storage; the object is not used afterwards.
  virtual void shutdown() = 0;
  // The queue of `user`'s batches, owned by the persistence; the same user yields the same batches.
  virtual MutationQueue* mutationQueueForUser(const auth::User& user) = 0;
  virtual QueryCache* queryCache() = 0;
  virtual RemoteDocumentCache* remoteDocumentCache() = 0;
  virtual IndexManager* indexManager() = 0;
  // Use as `run()("label", [&] { ... })`.
  virtual const VRVTransactionRunner& run() = 0;
  virtual std::shared_ptr<VRVReferenceDelegate> referenceDelegate() = 0;
  // The number of the transaction under way.
  virtual model::ListenSequenceNumber currentSequenceNumber() = 0;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVPERSISTENCE_H_
