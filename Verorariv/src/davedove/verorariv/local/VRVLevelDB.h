#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVLEVELDB_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVLEVELDB_H_

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/local/VRVLRUGarbageCollector.h"
#include "davedove/verorariv/local/VRVPersistence.h"
#include "davedove/verorariv/local/leveldb_index_manager.h"
#include "davedove/verorariv/local/leveldb_mutation_queue.h"
#include "davedove/verorariv/local/leveldb_query_cache.h"
#include "davedove/verorariv/local/leveldb_remote_document_cache.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/local/lru_garbage_collector.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/path.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"
#include "leveldb/db.h"

namespace davedove {
namespace verorariv {
namespace local {

class ReferenceSet;
class VRVLevelDBLRUDelegate;
class VRVLocalSerializer;

// The persistence kept on disk in one LevelDB database under the user's home directory. Runs one
// transaction at a time; every cache and queue reaches the database through it.
class VRVLevelDB : public VRVPersistence,
                   public VRVTransactional,
                   public std::enable_shared_from_this<VRVLevelDB> {
 public:
  // $HOME/.verorariv
  static util::Path documentsDirectory();
  // <documents>/<persistence key>/<project id>[.<database id>]/main. Names that would not stay
  // one directory level of their own (empty, ".", "..", or holding "/" or a NUL byte) are refused
  // with an invalid-argument status.
  static util::StatusOr<util::Path> storageDirectoryForDatabaseInfo(
      const core::DatabaseInfo& databaseInfo, const util::Path& documentsDirectory);
  // Creates the directory, opens and migrates the database and checks that every pending write
  // decodes.
  static util::StatusOr<std::shared_ptr<VRVLevelDB>> dbWithDirectory(
      util::Path directory, std::shared_ptr<const VRVLocalSerializer> serializer,
      const LruParams& lruParams);

  static util::Status ensureDirectory(const util::Path& directory);
  static util::StatusOr<std::unique_ptr<leveldb::DB>> createDBWithDirectory(
      const util::Path& directory);
  // Every user with rows in the mutation table.
  static std::set<std::string> collectUserSet(LevelDbTransaction* transaction);
  static const leveldb::ReadOptions& standardReadOptions();

  // Use dbWithDirectory; public only for make_shared.
  VRVLevelDB(std::unique_ptr<leveldb::DB> db, std::set<std::string> users, util::Path directory,
             std::shared_ptr<const VRVLocalSerializer> serializer);
  ~VRVLevelDB() override;

  // VRVPersistence
  void shutdown() override;
  // One queue per user for the life of the persistence, so a queue handed out never dangles; the
  // caller starts it.
  LevelDbMutationQueue* mutationQueueForUser(const auth::User& user) override;
  LevelDbQueryCache* queryCache() override { return queryCache_.get(); }
  LevelDbRemoteDocumentCache* remoteDocumentCache() override { return documentCache_.get(); }
  LevelDbIndexManager* indexManager() override { return indexManager_.get(); }
  const VRVTransactionRunner& run() override { return transactionRunner_; }
  std::shared_ptr<VRVReferenceDelegate> referenceDelegate() override;
  model::ListenSequenceNumber currentSequenceNumber() override;

  // VRVTransactional
  void startTransaction(absl::string_view label) override;
  void commitTransaction() override;

  LevelDbTransaction* currentTransaction();
  // Bytes of the files directly in the storage directory.
  int64_t byteSize();

  const std::set<std::string>& users() const { return users_; }
  leveldb::DB* ptr() const { return ptr_.get(); }
  const std::shared_ptr<const VRVLocalSerializer>& serializer() const { return serializer_; }
  const util::Path& directory() const { return directory_; }
  const std::shared_ptr<VRVLevelDBLRUDelegate>& lruDelegate() const { return referenceDelegate_; }
  bool isStarted() const { return started_; }
  void setStarted(bool started) { started_ = started; }

 private:
  void Initialize(const LruParams& lruParams);

  util::Path directory_;
  std::unique_ptr<LevelDbTransaction> transaction_;
  std::unique_ptr<leveldb::DB> ptr_;
  std::unique_ptr<LevelDbRemoteDocumentCache> documentCache_;
  std::unique_ptr<LevelDbIndexManager> indexManager_;
  VRVTransactionRunner transactionRunner_;
  std::shared_ptr<VRVLevelDBLRUDelegate> referenceDelegate_;
  std::unique_ptr<LevelDbQueryCache> queryCache_;
  std::set<std::string> users_;
  std::map<std::string, std::unique_ptr<LevelDbMutationQueue>> mutationQueues_;
  LevelDbMutationQueue* currentMutationQueue_ = nullptr;
  bool started_ = false;
  std::shared_ptr<const VRVLocalSerializer> serializer_;
};

// Hands out one listen sequence number per transaction and stamps it into the sentinel row of
// every document whose references change; the LRU collector later removes the documents whose
// stamp is old and that nothing holds.
class VRVLevelDBLRUDelegate : public VRVReferenceDelegate,
                              public VRVLRUDelegate,
                              public std::enable_shared_from_this<VRVLevelDBLRUDelegate> {
 public:
  VRVLevelDBLRUDelegate(std::weak_ptr<VRVLevelDB> persistence, const LruParams& lruParams);

  // Continues after the highest stored target sequence number.
  void start();
  void transactionWillStart();
  void transactionWillCommit();

  // VRVReferenceDelegate
  void addInMemoryPins(ReferenceSet* pins) override { additionalReferences_ = pins; }
  void removeInMemoryPins(ReferenceSet* pins) override {
    if (additionalReferences_ == pins) additionalReferences_ = nullptr;
  }
  // Keeps the target, stamped with the current number.
  void removeTarget(const QueryDataPtr& queryData) override;
  void addReference(const model::DocumentKey& key) override { writeSentinelForKey(key); }
  void removeReference(const model::DocumentKey& key) override { writeSentinelForKey(key); }
  void removeMutationReference(const model::DocumentKey& key) override {
    writeSentinelForKey(key);
  }
  void limboDocumentUpdated(const model::DocumentKey& key) override { writeSentinelForKey(key); }
  model::ListenSequenceNumber currentSequenceNumber() override;

  // VRVLRUDelegate
  void enumerateTargetsUsingCallback(const TargetCallback& callback) override;
  void enumerateMutationsUsingCallback(const OrphanedDocumentCallback& callback) override;
  int32_t removeOrphanedDocumentsThroughSequenceNumber(
      model::ListenSequenceNumber upperBound) override;
  int32_t removeTargetsThroughSequenceNumber(model::ListenSequenceNumber upperBound,
                                             const LiveQueryMap& liveQueries) override;
  int64_t byteSize() override;
  int32_t sequenceNumberCount() override;
  std::shared_ptr<VRVLRUGarbageCollector> gc() override;

  // Held by an in-memory pin or by a pending write of any known user, on the document or beneath.
  bool isPinned(const model::DocumentKey& key);
  bool mutationQueuesContainKey(const model::DocumentKey& key);
  void writeSentinelForKey(const model::DocumentKey& key);
  void removeSentinel(const model::DocumentKey& key);

 private:
  std::shared_ptr<VRVLevelDB> db() const;

  // Made on first use: the collector holds this delegate weakly.
  std::shared_ptr<VRVLRUGarbageCollector> gc_;
  LruParams lruParams_;
  std::weak_ptr<VRVLevelDB> db_;
  ReferenceSet* additionalReferences_ = nullptr;
  model::ListenSequenceNumber currentSequenceNumber_ = kVRVListenSequenceNumberInvalid;
  std::unique_ptr<ListenSequence> listenSequence_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVLEVELDB_H_
