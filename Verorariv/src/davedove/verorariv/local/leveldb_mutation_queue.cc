#include "davedove/verorariv/local/leveldb_mutation_queue.h"

#include <algorithm>
#include <utility>

#include "absl/strings/match.h"
#include "absl/strings/str_join.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"
#include "davedove/verorariv/util/string_util.h"

namespace davedove {
namespace verorariv {
namespace local {

using model::DocumentKey;
using model::DocumentKeySet;
using model::MutationBatchPtr;
using model::MutationPtr;

namespace {

// What a parse error is described as: the protocol-buffer runtime gives no more than that.
std::string ParseErrorDescription(absl::string_view encoded) {
  return util::StringFormat("malformed message of %s bytes", encoded.size());
}

}  // namespace

BatchId LoadNextBatchIdFromDb(leveldb::DB* db) {
  std::unique_ptr<leveldb::Iterator> it(db->NewIterator(LevelDbTransaction::DefaultReadOptions()));
  std::string tablePrefix = LevelDbMutationKey::KeyPrefix();
  it->Seek(tablePrefix);
  LevelDbMutationKey rowKey;
  if (!it->Valid() || !rowKey.Decode(absl::string_view(it->key().data(), it->key().size()))) {
    return 0;
  }

  std::string currentUser = rowKey.user_id();
  BatchId highest = -1;
  bool moreUsers = true;
  while (moreUsers) {
    // The last row of the current user is the one right before the next user's first row.
    std::string successor = util::PrefixSuccessor(LevelDbMutationKey::KeyPrefix(currentUser));
    it->Seek(successor);
    if (it->Valid()) {
      if (rowKey.Decode(absl::string_view(it->key().data(), it->key().size()))) {
        currentUser = rowKey.user_id();
      } else {
        moreUsers = false;
      }
      it->Prev();
    } else {
      moreUsers = false;
      it->SeekToLast();
    }
    LevelDbMutationKey lastKey;
    HARD_ASSERT(it->Valid() &&
                    lastKey.Decode(absl::string_view(it->key().data(), it->key().size())),
                "There should have been a key previous to %s", DescribeKey(successor));
    highest = std::max(highest, lastKey.batch_id());
  }
  return highest + 1;
}

LevelDbMutationQueue::LevelDbMutationQueue(const auth::User& user, VRVLevelDB* db,
                                           std::shared_ptr<const VRVLocalSerializer> serializer)
    : db_(db),
      serializer_(std::move(serializer)),
      user_id_(user.is_authenticated() ? user.uid() : std::string()) {}

void LevelDbMutationQueue::Start() {
  next_batch_id_ = LoadNextBatchIdFromDb(db_->ptr());
  metadata_ = MetadataForKey(LevelDbMutationQueueKey::Key(user_id_));
  if (!metadata_) metadata_ = std::make_unique<VRVPBMutationQueue>();
  // Batch ids are never negative; one scan from the start finds the first stored batch.
  first_possible_batch_id_ = 0;
  if (IsEmpty()) first_possible_batch_id_ = next_batch_id_;

  batches_by_document_.clear();
  std::string indexPrefix = LevelDbDocumentMutationKey::KeyPrefix(user_id_);
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(indexPrefix); it->Valid() && absl::StartsWith(it->key(), indexPrefix);
       it->Next()) {
    LevelDbDocumentMutationKey rowKey;
    if (rowKey.Decode(it->key())) {
      batches_by_document_.emplace(rowKey.document_key(), rowKey.batch_id());
    }
  }
}

std::unique_ptr<LevelDbTransaction::Iterator> LevelDbMutationQueue::SeekFirstBatch() {
  auto it = db_->currentTransaction()->NewIterator();
  it->Seek(LevelDbMutationKey::Key(user_id_, first_possible_batch_id_));
  LevelDbMutationKey rowKey;
  if (it->Valid() && rowKey.Decode(it->key()) && rowKey.user_id() == user_id_) {
    first_possible_batch_id_ = rowKey.batch_id();
  }
  return it;
}

bool LevelDbMutationQueue::IsEmpty() {
  std::string prefix = LevelDbMutationKey::KeyPrefix(user_id_);
  auto it = SeekFirstBatch();
  return !(it->Valid() && absl::StartsWith(it->key(), prefix));
}

void LevelDbMutationQueue::AcknowledgeBatch(const model::VRVMutationBatch&,
                                            const std::string& streamToken) {
  SetLastStreamToken(streamToken);
}

MutationBatchPtr LevelDbMutationQueue::AddMutationBatch(const DAVTimestamp& localWriteTime,
                                                        std::vector<MutationPtr>&& baseMutations,
                                                        std::vector<MutationPtr>&& mutations) {
  BatchId batchId = next_batch_id_++;
  auto batch = std::make_shared<const model::VRVMutationBatch>(
      batchId, localWriteTime, std::move(baseMutations), std::move(mutations));

  LevelDbTransaction* transaction = db_->currentTransaction();
  transaction->Put(LevelDbMutationKey::Key(user_id_, batchId),
                   serializer_->encodedMutationBatch(*batch));
  for (const MutationPtr& mutation : batch->mutations()) {
    transaction->Put(LevelDbDocumentMutationKey::Key(user_id_, mutation->key(), batchId),
                     std::string());
    batches_by_document_.emplace(mutation->key(), batchId);
    db_->indexManager()->AddToCollectionParentIndex(mutation->key().path().PopLast());
  }
  return batch;
}

void LevelDbMutationQueue::RemoveMutationBatch(const model::VRVMutationBatch& batch) {
  LevelDbTransaction* transaction = db_->currentTransaction();
  std::string key = LevelDbMutationKey::Key(user_id_, batch.batchID());
  auto checkIterator = transaction->NewIterator();
  checkIterator->Seek(key);
  MODEL_ASSERT(checkIterator->Valid(), "check_iterator->Valid()", "Mutation batch %s did not exist",
               DescribeKey(key));
  MODEL_ASSERT(key == checkIterator->key(), "key == check_iterator->key()",
               "Mutation batch %s not found; found %s", DescribeKey(key),
               DescribeKey(checkIterator->key()));
  transaction->Delete(key);
  if (batch.batchID() == first_possible_batch_id_) first_possible_batch_id_ = batch.batchID() + 1;

  auto delegate = db_->referenceDelegate();
  for (const MutationPtr& mutation : batch.mutations()) {
    transaction->Delete(
        LevelDbDocumentMutationKey::Key(user_id_, mutation->key(), batch.batchID()));
    batches_by_document_.erase({mutation->key(), batch.batchID()});
    delegate->removeMutationReference(mutation->key());
  }
}

std::vector<MutationBatchPtr> LevelDbMutationQueue::AllMutationBatches() {
  std::vector<MutationBatchPtr> result;
  std::string prefix = LevelDbMutationKey::KeyPrefix(user_id_);
  for (auto it = SeekFirstBatch(); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    result.push_back(ParseMutationBatch(it->value()));
  }
  return result;
}

std::vector<MutationBatchPtr> LevelDbMutationQueue::AllMutationBatchesAffectingDocumentKeys(
    const DocumentKeySet& documentKeys) {
  std::set<BatchId> batchIds;
  for (const DocumentKey& documentKey : documentKeys) {
    for (auto it = batches_by_document_.lower_bound({documentKey, 0});
         it != batches_by_document_.end() && it->first == documentKey; ++it) {
      batchIds.insert(it->second);
    }
  }
  return AllMutationBatchesWithIds(batchIds);
}

std::vector<MutationBatchPtr> LevelDbMutationQueue::AllMutationBatchesAffectingDocumentKey(
    const DocumentKey& key) {
  return AllMutationBatchesAffectingDocumentKeys(DocumentKeySet{}.insert(key));
}

std::vector<MutationBatchPtr> LevelDbMutationQueue::AllMutationBatchesAffectingQuery(
    const core::VRVQuery& query) {
  MODEL_ASSERT(!query.isDocumentQuery(), "![query isDocumentQuery]",
               "Document queries shouldn't go down this path");
  MODEL_ASSERT(!query.isCollectionGroupQuery(), "![query isCollectionGroupQuery]",
               "CollectionGroup queries should be handled in LocalDocumentsView");

  const model::ResourcePath& queryPath = query.path();
  size_t wantedLength = queryPath.size() + 1;
  // An empty last segment sorts before every document of the collection.
  DocumentKey start(queryPath.size() % 2 == 1 ? queryPath.Append("") : queryPath);
  std::set<BatchId> batchIds;
  for (auto it = batches_by_document_.lower_bound({start, 0}); it != batches_by_document_.end();
       ++it) {
    const model::ResourcePath& path = it->first.path();
    if (!queryPath.IsPrefixOf(path)) break;
    // Documents deeper in subcollections are skipped; the scan goes on.
    if (path.size() == wantedLength) batchIds.insert(it->second);
  }
  return AllMutationBatchesWithIds(batchIds);
}

std::vector<MutationBatchPtr> LevelDbMutationQueue::AllMutationBatchesWithIds(
    const std::set<BatchId>& ids) {
  std::vector<MutationBatchPtr> result;
  // Point reads: every id names a row that exists, and making an iterator costs more than a
  // read.
  for (BatchId batchId : ids) {
    std::string key = LevelDbMutationKey::Key(user_id_, batchId);
    std::string encoded;
    leveldb::Status status = db_->currentTransaction()->Get(key, &encoded);
    if (status.ok()) {
      result.push_back(ParseMutationBatch(encoded));
      continue;
    }
    auto it = db_->currentTransaction()->NewIterator();
    it->Seek(key);
    HARD_FAIL("Dangling document-mutation reference found: Missing batch %s; seeking there "
              "found %s",
              DescribeKey(key), DescribeKey(it));
  }
  return result;
}

MutationBatchPtr LevelDbMutationQueue::ParseMutationBatch(absl::string_view encoded) {
  VRVPBWriteBatch proto;
  HARD_ASSERT(proto.ParseFromArray(encoded.data(), static_cast<int>(encoded.size())),
              "VRVPBMutationBatch failed to parse: %s", ParseErrorDescription(encoded));
  return serializer_->decodedMutationBatch(proto);
}

MutationBatchPtr LevelDbMutationQueue::LookupMutationBatch(BatchId batchID) {
  std::string encoded;
  leveldb::Status status =
      db_->currentTransaction()->Get(LevelDbMutationKey::Key(user_id_, batchID), &encoded);
  if (status.IsNotFound()) return nullptr;
  HARD_ASSERT(status.ok(), "Lookup mutation batch (%s, %s) failed with status: %s", user_id_,
              batchID, status.ToString());
  return ParseMutationBatch(encoded);
}

MutationBatchPtr LevelDbMutationQueue::NextMutationBatchAfterBatchId(BatchId batchID) {
  BatchId nextBatchId = batchID + 1;
  auto it = db_->currentTransaction()->NewIterator();
  it->Seek(LevelDbMutationKey::Key(user_id_, std::max(nextBatchId, first_possible_batch_id_)));
  LevelDbMutationKey rowKey;
  if (!it->Valid() || !rowKey.Decode(it->key()) || rowKey.user_id() != user_id_) return nullptr;
  MODEL_ASSERT(rowKey.batch_id() >= nextBatchId, "row_key.batch_id() >= next_batch_id",
               "Should have found mutation after %s", nextBatchId);
  return ParseMutationBatch(it->value());
}

void LevelDbMutationQueue::PerformConsistencyCheck() {
  if (!IsEmpty()) return;
  std::vector<std::string> danglingMutationReferences;
  std::string prefix = LevelDbDocumentMutationKey::KeyPrefix(user_id_);
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    danglingMutationReferences.push_back(DescribeKey(it->key()));
  }
  MODEL_ASSERT(danglingMutationReferences.empty(), "dangling_mutation_references.empty()",
               "Document leak -- detected dangling mutation references when queue is empty. "
               "Dangling keys: %s",
               "[" + absl::StrJoin(danglingMutationReferences, ", ") + "]");
}

std::string LevelDbMutationQueue::GetLastStreamToken() { return metadata_->last_stream_token(); }

void LevelDbMutationQueue::SetLastStreamToken(const std::string& streamToken) {
  metadata_->set_last_stream_token(streamToken);
  db_->currentTransaction()->Put(LevelDbMutationQueueKey::Key(user_id_), *metadata_);
}

std::unique_ptr<VRVPBMutationQueue> LevelDbMutationQueue::MetadataForKey(const std::string& key) {
  std::string encoded;
  leveldb::Status status = db_->currentTransaction()->Get(key, &encoded);
  if (status.IsNotFound()) return nullptr;
  HARD_ASSERT(status.ok(), "MetadataForKey: failed loading key %s with status: %s", key,
              status.ToString());
  auto metadata = std::make_unique<VRVPBMutationQueue>();
  HARD_ASSERT(metadata->ParseFromString(encoded), "VRVPBMutationQueue failed to parse: %s",
              ParseErrorDescription(encoded));
  return metadata;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
