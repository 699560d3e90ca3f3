#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVLOCALSTORE_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVLOCALSTORE_H_

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/local/VRVLRUGarbageCollector.h"
#include "davedove/verorariv/local/VRVLocalViewChanges.h"
#include "davedove/verorariv/local/VRVLocalWriteResult.h"
#include "davedove/verorariv/local/VRVPersistence.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/local/local_documents_view.h"
#include "davedove/verorariv/local/lru_garbage_collector.h"
#include "davedove/verorariv/local/mutation_queue.h"
#include "davedove/verorariv/local/query_cache.h"
#include "davedove/verorariv/local/reference_set.h"
#include "davedove/verorariv/local/remote_document_cache.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_map.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/remote/remote_event.h"

namespace davedove {
namespace verorariv {
namespace local {

// The single entry point through which the sync engine reads and changes local state: local
// writes, acknowledgements and rejections, remote events, the active targets and the documents
// the active views hold. Every operation that touches storage is one persistence transaction.
// Runs on the worker queue; not copyable (the reference delegate holds a pointer to its pins).
class VRVLocalStore {
 public:
  VRVLocalStore(std::shared_ptr<VRVPersistence> persistence, const auth::User& initialUser);

  // Withdraws the store's pins from the reference delegate: the persistence may outlive the store.
  ~VRVLocalStore();

  VRVLocalStore(const VRVLocalStore&) = delete;
  VRVLocalStore& operator=(const VRVLocalStore&) = delete;

  // Starts the mutation queue and seeds the target ids from the stored targets.
  void start();

  // Switches to `user`'s mutation queue; the local view of every document that the old or the
  // new user's batches touch.
  model::MaybeDocumentMap userDidChange(const auth::User& user);

  // Stores the mutations as one batch; the local view of the documents they touch.
  VRVLocalWriteResult locallyWriteMutations(std::vector<model::MutationPtr> mutations);
  // Applies the commit result and removes the batch; the local view of the batch's documents.
  model::MaybeDocumentMap acknowledgeBatchWithResult(
      const model::VRVMutationBatchResult& batchResult);
  // Drops the batch; the local view of its documents.
  model::MaybeDocumentMap rejectBatchID(model::BatchId batchID);

  std::string lastStreamToken();
  void setLastStreamToken(const std::string& streamToken);
  model::SnapshotVersion lastRemoteSnapshotVersion();

  // Applies one watch snapshot; the changed documents with pending writes applied.
  model::MaybeDocumentMap applyRemoteEvent(const remote::RemoteEvent& remoteEvent);

  void notifyLocalViewChanges(const std::vector<VRVLocalViewChanges>& viewChanges);

  model::MutationBatchPtr nextMutationBatchAfterBatchID(model::BatchId batchID);
  model::MaybeDocumentPtr readDocument(const model::DocumentKey& key);

  // The target of a query, reusing a stored one; the query must not be active already.
  QueryDataPtr allocateQuery(core::QueryPtr query);
  // The query must be stored.
  void releaseQuery(const core::QueryPtr& query);

  model::DocumentMap executeQuery(const core::VRVQuery& query);
  model::DocumentKeySet remoteDocumentKeysForTarget(TargetId targetID);

  LruResults collectGarbage(VRVLRUGarbageCollector* garbageCollector);

  const std::shared_ptr<VRVPersistence>& persistence() const { return persistence_; }
  QueryCache* queryCache() const { return queryCache_; }
  void setQueryCache(QueryCache* queryCache) { queryCache_ = queryCache; }

 private:
  void startMutationQueue();
  void applyBatchResult(const model::VRVMutationBatchResult& batchResult);
  // Whether a target's new resume token must reach storage now rather than at release.
  static bool shouldPersistQueryData(const VRVQueryData& newQueryData,
                                     const VRVQueryData& oldQueryData,
                                     const remote::TargetChange& change);

  core::TargetIdGenerator targetIDGenerator_;
  RemoteDocumentCache* remoteDocumentCache_;
  QueryCache* queryCache_;
  MutationQueue* mutationQueue_;
  std::unique_ptr<LocalDocumentsView> localDocuments_;
  ReferenceSet localViewReferences_;
  std::unordered_map<TargetId, QueryDataPtr> targetIDs_;
  std::shared_ptr<VRVPersistence> persistence_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVLOCALSTORE_H_
