#include "davedove/verorariv/local/leveldb_query_cache.h"

#include <optional>
#include <string>
#include <utility>

#include "absl/strings/match.h"
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
using model::ListenSequenceNumber;

namespace {

std::string ParseErrorDescription(absl::string_view encoded) {
  return util::StringFormat("malformed message of %s bytes", encoded.size());
}

}  // namespace

LevelDbQueryCache::LevelDbQueryCache(VRVLevelDB* db,
                                     std::shared_ptr<const VRVLocalSerializer> serializer)
    : db_(db),
      serializer_(std::move(serializer)),
      lastRemoteSnapshotVersion_(model::SnapshotVersion::None()) {}

std::unique_ptr<VRVPBTargetGlobal> LevelDbQueryCache::ReadMetadata(leveldb::DB* db) {
  std::string key = LevelDbTargetGlobalKey::Key();
  std::string encoded;
  leveldb::Status status = db->Get(VRVLevelDB::standardReadOptions(), key, &encoded);
  if (status.IsNotFound()) return nullptr;
  HARD_ASSERT(status.ok(), "metadataForKey: failed loading key %s with status: %s", key,
              status.ToString());
  auto metadata = std::make_unique<VRVPBTargetGlobal>();
  HARD_ASSERT(metadata->ParseFromString(encoded), "VRVPBTargetGlobal failed to parse: %s",
              ParseErrorDescription(encoded));
  return metadata;
}

void LevelDbQueryCache::Start() {
  metadata_ = ReadMetadata(db_->ptr());
  MODEL_ASSERT(metadata_ != nullptr, "metadata_ != nil",
               "Found nil metadata, expected schema to be at version 0 which ensures metadata "
               "existence");
  lastRemoteSnapshotVersion_ =
      serializer_->decodedVersion(metadata_->last_remote_snapshot_version());
}

void LevelDbQueryCache::Save(const VRVQueryData& queryData) {
  db_->currentTransaction()->Put(LevelDbTargetKey::Key(queryData.targetID()),
                                 serializer_->encodedQueryData(queryData));
}

bool LevelDbQueryCache::UpdateMetadata(const VRVQueryData& queryData) {
  bool updated = false;
  if (queryData.targetID() > metadata_->highest_target_id()) {
    metadata_->set_highest_target_id(queryData.targetID());
    updated = true;
  }
  if (queryData.sequenceNumber() > metadata_->highest_listen_sequence_number()) {
    metadata_->set_highest_listen_sequence_number(queryData.sequenceNumber());
    updated = true;
  }
  return updated;
}

void LevelDbQueryCache::SaveMetadata() {
  db_->currentTransaction()->Put(LevelDbTargetGlobalKey::Key(), *metadata_);
}

void LevelDbQueryCache::AddTarget(const QueryDataPtr& queryData) {
  Save(*queryData);
  std::string canonicalId = util::MakeString(queryData->query()->canonicalID());
  db_->currentTransaction()->Put(LevelDbQueryTargetKey::Key(canonicalId, queryData->targetID()),
                                 std::string());
  metadata_->set_target_count(metadata_->target_count() + 1);
  UpdateMetadata(*queryData);
  SaveMetadata();
}

void LevelDbQueryCache::UpdateTarget(const QueryDataPtr& queryData) {
  Save(*queryData);
  if (UpdateMetadata(*queryData)) SaveMetadata();
}

void LevelDbQueryCache::RemoveTarget(const QueryDataPtr& queryData) {
  TargetId targetId = queryData->targetID();
  RemoveAllKeysForTarget(targetId);
  LevelDbTransaction* transaction = db_->currentTransaction();
  transaction->Delete(LevelDbTargetKey::Key(targetId));
  transaction->Delete(
      LevelDbQueryTargetKey::Key(util::MakeString(queryData->query()->canonicalID()), targetId));
  metadata_->set_target_count(metadata_->target_count() - 1);
  SaveMetadata();
}

void LevelDbQueryCache::RemoveAllKeysForTarget(TargetId targetID) {
  LevelDbTransaction* transaction = db_->currentTransaction();
  auto it = transaction->NewIterator();
  for (it->Seek(LevelDbTargetDocumentKey::KeyPrefix(targetID)); it->Valid(); it->Next()) {
    LevelDbTargetDocumentKey rowKey;
    if (!rowKey.Decode(it->key()) || rowKey.target_id() != targetID) break;
    transaction->Delete(it->key());
    transaction->Delete(LevelDbDocumentTargetKey::Key(rowKey.document_key(), targetID));
  }
}

QueryDataPtr LevelDbQueryCache::GetTarget(const core::VRVQuery& query) {
  std::string canonicalId = util::MakeString(query.canonicalID());
  std::string prefix = LevelDbQueryTargetKey::KeyPrefix(canonicalId);
  LevelDbTransaction* transaction = db_->currentTransaction();
  auto indexIterator = transaction->NewIterator();
  auto targetIterator = transaction->NewIterator();
  for (indexIterator->Seek(prefix); indexIterator->Valid(); indexIterator->Next()) {
    LevelDbQueryTargetKey rowKey;
    // Canonical ids that merely start with the wanted one share the prefix bytes.
    if (!absl::StartsWith(indexIterator->key(), prefix) || !rowKey.Decode(indexIterator->key()) ||
        rowKey.canonical_id() != canonicalId) {
      break;
    }
    std::string targetKey = LevelDbTargetKey::Key(rowKey.target_id());
    targetIterator->Seek(targetKey);
    if (!targetIterator->Valid() || targetIterator->key() != targetKey) {
      HARD_FAIL("Dangling query-target reference found: %s points to %s; seeking there found %s",
                DescribeKey(indexIterator), DescribeKey(targetKey), DescribeKey(targetIterator));
    }
    QueryDataPtr target = DecodeTarget(targetIterator->value());
    if (*target->query() == query) return target;
  }
  return nullptr;
}

QueryDataPtr LevelDbQueryCache::DecodeTarget(absl::string_view encoded) {
  VRVPBTarget proto;
  HARD_ASSERT(proto.ParseFromArray(encoded.data(), static_cast<int>(encoded.size())),
              "VRVPBTarget failed to parse: %s", ParseErrorDescription(encoded));
  return serializer_->decodedQueryData(proto);
}

void LevelDbQueryCache::EnumerateTargets(const TargetCallback& callback) {
  std::string prefix = LevelDbTargetKey::KeyPrefix();
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    callback(DecodeTarget(it->value()));
  }
}

int32_t LevelDbQueryCache::RemoveTargets(
    ListenSequenceNumber upperBound,
    const std::unordered_map<TargetId, QueryDataPtr>& liveTargets) {
  int32_t count = 0;
  std::string prefix = LevelDbTargetKey::KeyPrefix();
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    QueryDataPtr target = DecodeTarget(it->value());
    if (target->sequenceNumber() <= upperBound &&
        liveTargets.find(target->targetID()) == liveTargets.end()) {
      RemoveTarget(target);
      count++;
    }
  }
  return count;
}

void LevelDbQueryCache::AddMatchingKeys(const DocumentKeySet& keys, TargetId targetID) {
  LevelDbTransaction* transaction = db_->currentTransaction();
  auto delegate = db_->referenceDelegate();
  for (const DocumentKey& key : keys) {
    transaction->Put(LevelDbTargetDocumentKey::Key(targetID, key), std::string());
    transaction->Put(LevelDbDocumentTargetKey::Key(key, targetID), std::string());
    delegate->addReference(key);
  }
}

void LevelDbQueryCache::RemoveMatchingKeys(const DocumentKeySet& keys, TargetId targetID) {
  LevelDbTransaction* transaction = db_->currentTransaction();
  auto delegate = db_->referenceDelegate();
  for (const DocumentKey& key : keys) {
    transaction->Delete(LevelDbTargetDocumentKey::Key(targetID, key));
    transaction->Delete(LevelDbDocumentTargetKey::Key(key, targetID));
    delegate->removeReference(key);
  }
}

DocumentKeySet LevelDbQueryCache::GetMatchingKeys(TargetId targetID) {
  DocumentKeySet result;
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(LevelDbTargetDocumentKey::KeyPrefix(targetID)); it->Valid(); it->Next()) {
    LevelDbTargetDocumentKey rowKey;
    if (!rowKey.Decode(it->key()) || rowKey.target_id() != targetID) break;
    result = result.insert(rowKey.document_key());
  }
  return result;
}

bool LevelDbQueryCache::Contains(const DocumentKey& key) {
  std::string prefix = LevelDbDocumentTargetKey::KeyPrefix(key.path());
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    LevelDbDocumentTargetKey rowKey;
    // The sentinel alone is no match; rows of documents beneath share the prefix.
    if (rowKey.Decode(it->key()) && rowKey.target_id() != 0 && rowKey.document_key() == key) {
      return true;
    }
  }
  return false;
}

size_t LevelDbQueryCache::size() { return static_cast<size_t>(metadata_->target_count()); }

ListenSequenceNumber LevelDbQueryCache::highest_listen_sequence_number() {
  return metadata_->highest_listen_sequence_number();
}

TargetId LevelDbQueryCache::highest_target_id() { return metadata_->highest_target_id(); }

model::SnapshotVersion LevelDbQueryCache::GetLastRemoteSnapshotVersion() {
  return lastRemoteSnapshotVersion_;
}

void LevelDbQueryCache::SetLastRemoteSnapshotVersion(const model::SnapshotVersion& version) {
  lastRemoteSnapshotVersion_ = version;
  *metadata_->mutable_last_remote_snapshot_version() = serializer_->encodedVersion(version);
  SaveMetadata();
}

void LevelDbQueryCache::EnumerateOrphanedDocuments(const OrphanedDocumentCallback& callback) {
  std::string prefix = LevelDbDocumentTargetKey::KeyPrefix();
  // A document's sentinel sorts before its target rows; it is reported once the scan has passed
  // them without meeting one. Kept as its own flag: a sentinel may hold the number 0.
  std::optional<std::pair<DocumentKey, ListenSequenceNumber>> pending;
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    LevelDbDocumentTargetKey rowKey;
    MODEL_ASSERT(rowKey.Decode(it->key()), "key.Decode(it->key())",
                 "Failed to decode DocumentTarget key");
    if (rowKey.target_id() == 0) {
      if (pending) callback(pending->first, pending->second);
      pending.emplace(rowKey.document_key(),
                      LevelDbDocumentTargetKey::DecodeSentinelValue(it->value()));
    } else if (pending && pending->first == rowKey.document_key()) {
      pending.reset();  // held by a target
    }
  }
  if (pending) callback(pending->first, pending->second);
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
