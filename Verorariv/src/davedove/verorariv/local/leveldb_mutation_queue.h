#ifndef DAVEDOVE_VERORARIV_LOCAL_LEVELDB_MUTATION_QUEUE_H_
#define DAVEDOVE_VERORARIV_LOCAL_LEVELDB_MUTATION_QUEUE_H_

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/local/mutation_queue.h"
#include "davedove/verorariv/model/document_key.h"
#include "leveldb/db.h"

namespace davedove {
namespace verorariv {
namespace local {

class VRVLevelDB;

// One past the highest batch id stored for any user; 0 when there is none. Reads the committed
// store directly.
BatchId LoadNextBatchIdFromDb(leveldb::DB* db);

// A user's pending write batches on disk: mutation rows (user, batch id), a document index
// (user, document path, batch id) and one metadata row with the last stream token.
class LevelDbMutationQueue : public MutationQueue {
 public:
  LevelDbMutationQueue(const auth::User& user, VRVLevelDB* db,
                       std::shared_ptr<const VRVLocalSerializer> serializer);

  void Start() override;
  bool IsEmpty() override;
  void AcknowledgeBatch(const model::VRVMutationBatch& batch,
                        const std::string& streamToken) override;
  model::MutationBatchPtr AddMutationBatch(const DAVTimestamp& localWriteTime,
                                           std::vector<model::MutationPtr>&& baseMutations,
                                           std::vector<model::MutationPtr>&& mutations) override;
  void RemoveMutationBatch(const model::VRVMutationBatch& batch) override;
  std::vector<model::MutationBatchPtr> AllMutationBatches() override;
  std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingDocumentKeys(
      const model::DocumentKeySet& documentKeys) override;
  std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingDocumentKey(
      const model::DocumentKey& key) override;
  // Document and collection-group queries are refused.
  std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingQuery(
      const core::VRVQuery& query) override;
  model::MutationBatchPtr LookupMutationBatch(BatchId batchID) override;
  model::MutationBatchPtr NextMutationBatchAfterBatchId(BatchId batchID) override;
  void PerformConsistencyCheck() override;
  std::string GetLastStreamToken() override;
  void SetLastStreamToken(const std::string& streamToken) override;

  const std::string& user_id() const { return user_id_; }

 private:
  // The stored metadata, or none.
  std::unique_ptr<VRVPBMutationQueue> MetadataForKey(const std::string& key);
  std::vector<model::MutationBatchPtr> AllMutationBatchesWithIds(const std::set<BatchId>& ids);
  model::MutationBatchPtr ParseMutationBatch(absl::string_view encoded);
  // The first mutation row of this user at or after first_possible_batch_id_, learning its id.
  std::unique_ptr<LevelDbTransaction::Iterator> SeekFirstBatch();

  VRVLevelDB* db_;
  std::shared_ptr<const VRVLocalSerializer> serializer_;
  std::string user_id_;
  BatchId next_batch_id_ = 0;
  // No batch of this user has a lower id. Reads seek from here, not from the start of the user's
  // rows: LevelDB steps over every removed row until compaction drops it, and a draining queue
  // leaves one behind for each batch.
  BatchId first_possible_batch_id_ = 0;
  // The user's document_mutation rows, (document, batch id), mirrored from Start on: a document
  // without pending writes would otherwise cost a seek over the removed rows of every document
  // after it.
  std::set<std::pair<model::DocumentKey, BatchId>> batches_by_document_;
  std::unique_ptr<VRVPBMutationQueue> metadata_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LEVELDB_MUTATION_QUEUE_H_
