#include "davedove/verorariv/local/leveldb_migrations.h"

#include <memory>
#include <string>

#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/local/memory_index_manager.h"
#include "davedove/verorariv/model/resource_path.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace local {

using util::Status;
using util::StatusOr;
using SchemaVersion = LevelDbMigrations::SchemaVersion;

namespace {

// Passes of the bulk delete commit at most this many changes each.
constexpr int kMaxDeletesPerPass = 1000;

LevelDbTransaction NewTransaction(leveldb::DB* db, absl::string_view label) {
  return LevelDbTransaction(db, label, LevelDbTransaction::DefaultReadOptions(),
                            LevelDbTransaction::DefaultWriteOptions());
}

void SaveVersion(SchemaVersion version, LevelDbTransaction* transaction) {
  transaction->Put(LevelDbVersionKey::Key(), std::to_string(version));
}

// Deletes every row under `prefix`, committing every kMaxDeletesPerPass deletions.
void DeleteEverythingWithPrefix(leveldb::DB* db, const std::string& prefix) {
  bool more_deletes = true;
  while (more_deletes) {
    LevelDbTransaction transaction = NewTransaction(db, "Delete everything with prefix");
    auto it = transaction.NewIterator();
    more_deletes = false;
    int deleted = 0;
    for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
      if (deleted == kMaxDeletesPerPass) {
        more_deletes = true;
        break;
      }
      transaction.Delete(it->key());
      deleted++;
    }
    transaction.Commit();
  }
}

// Version 3: targets of earlier builds are not read any more; start the query cache afresh.
void ClearQueryCache(leveldb::DB* db) {
  DeleteEverythingWithPrefix(db, LevelDbTargetKey::KeyPrefix());
  DeleteEverythingWithPrefix(db, LevelDbDocumentTargetKey::KeyPrefix());
  DeleteEverythingWithPrefix(db, LevelDbTargetDocumentKey::KeyPrefix());
  DeleteEverythingWithPrefix(db, LevelDbQueryTargetKey::KeyPrefix());

  LevelDbTransaction transaction = NewTransaction(db, "Drop query cache");
  // Every field at its default; the query cache relies on the row being there.
  VRVPBTargetGlobal target_global;
  transaction.Put(LevelDbTargetGlobalKey::Key(), target_global.SerializeAsString());
  SaveVersion(3, &transaction);
  transaction.Commit();
}

// Version 4: every cached document gets a sentinel row so that the LRU collector sees it.
void EnsureSentinelRows(leveldb::DB* db) {
  LevelDbTransaction transaction = NewTransaction(db, "Ensure sentinel rows");

  std::string bytes;
  VRVPBTargetGlobal target_global;
  if (transaction.Get(LevelDbTargetGlobalKey::Key(), &bytes).ok()) {
    // A parse error leaves the fields read so far, which is the best number there is.
    target_global.ParseFromString(bytes);
  }
  std::string sentinel_value =
      LevelDbDocumentTargetKey::EncodeSentinelValue(target_global.highest_listen_sequence_number());

  std::string prefix = LevelDbRemoteDocumentKey::KeyPrefix();
  auto it = transaction.NewIterator();
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    LevelDbRemoteDocumentKey document_key;
    HARD_ASSERT(document_key.Decode(it->key()), "Failed to decode document key");
    std::string sentinel_key = LevelDbDocumentTargetKey::SentinelKey(document_key.document_key());
    std::string unused;
    if (transaction.Get(sentinel_key, &unused).IsNotFound()) {
      transaction.Put(sentinel_key, sentinel_value);
    }
  }

  SaveVersion(4, &transaction);
  transaction.Commit();
}

// Version 5: earlier builds kept acknowledged batches until the queue moved past them.
void RemoveAcknowledgedMutations(leveldb::DB* db) {
  LevelDbTransaction transaction = NewTransaction(db, "remove acknowledged mutations");

  std::string queues_prefix = LevelDbMutationQueueKey::KeyPrefix();
  auto queues = transaction.NewIterator();
  for (queues->Seek(queues_prefix);
       queues->Valid() && absl::StartsWith(queues->key(), queues_prefix); queues->Next()) {
    LevelDbMutationQueueKey queue_key;
    HARD_ASSERT(queue_key.Decode(queues->key()), "Failed to decode mutation queue key");
    VRVPBMutationQueue queue;
    HARD_ASSERT(queue.ParseFromString(std::string(queues->value())),
                "Failed to deserialize MutationQueue");
    const std::string& user_id = queue_key.user_id();
    BatchId last_acknowledged = queue.last_acknowledged_batch_id();
    // The field's default: nothing was acknowledged, and batch 0 is a real batch.
    if (last_acknowledged <= 0) continue;

    std::string batches_prefix = LevelDbMutationKey::KeyPrefix(user_id);
    std::string last_key = LevelDbMutationKey::Key(user_id, last_acknowledged);
    auto batches = transaction.NewIterator();
    for (batches->Seek(batches_prefix);
         batches->Valid() && batches->key().compare(last_key) <= 0; batches->Next()) {
      transaction.Delete(batches->key());
    }

    std::string index_prefix = LevelDbDocumentMutationKey::KeyPrefix(user_id);
    auto index = transaction.NewIterator();
    for (index->Seek(index_prefix); index->Valid() && absl::StartsWith(index->key(), index_prefix);
         index->Next()) {
      LevelDbDocumentMutationKey index_key;
      HARD_ASSERT(index_key.Decode(index->key()), "Failed to decode document mutation key");
      if (index_key.batch_id() <= last_acknowledged) {
        transaction.Delete(index->key());
      }
    }
  }

  SaveVersion(5, &transaction);
  transaction.Commit();
}

// Version 6: the collection-parent index, from every cached document and every pending write.
void EnsureCollectionParentsIndex(leveldb::DB* db) {
  LevelDbTransaction transaction = NewTransaction(db, "Ensure Collection Parents Index");
  MemoryCollectionParentIndex written;

  auto record = [&](const model::ResourcePath& collection_path) {
    if (written.Add(collection_path)) {
      transaction.Put(LevelDbCollectionParentKey::Key(collection_path.last_segment(),
                                                      collection_path.PopLast()),
                      std::string());
    }
  };

  std::string documents_prefix = LevelDbRemoteDocumentKey::KeyPrefix();
  auto documents = transaction.NewIterator();
  for (documents->Seek(documents_prefix);
       documents->Valid() && absl::StartsWith(documents->key(), documents_prefix);
       documents->Next()) {
    LevelDbRemoteDocumentKey document_key;
    HARD_ASSERT(document_key.Decode(documents->key()), "Failed to decode document key");
    record(document_key.document_key().path().PopLast());
  }

  std::string index_prefix = LevelDbDocumentMutationKey::KeyPrefix();
  auto index = transaction.NewIterator();
  for (index->Seek(index_prefix); index->Valid() && absl::StartsWith(index->key(), index_prefix);
       index->Next()) {
    LevelDbDocumentMutationKey index_key;
    HARD_ASSERT(index_key.Decode(index->key()), "Failed to decode document-mutation key");
    record(index_key.document_key().path().PopLast());
  }

  SaveVersion(6, &transaction);
  transaction.Commit();
}

}  // namespace

StatusOr<SchemaVersion> LevelDbMigrations::ReadSchemaVersion(leveldb::DB* db) {
  LevelDbTransaction transaction = NewTransaction(db, "Read schema version");
  std::string version_text;
  leveldb::Status status = transaction.Get(LevelDbVersionKey::Key(), &version_text);
  if (status.IsNotFound()) return 0;
  if (!status.ok()) {
    return Status(VerorarivErrorCode::DataLoss, "Failed to read the schema version")
        .CausedBy(ConvertStatus(status));
  }
  SchemaVersion version = 0;
  if (!absl::SimpleAtoi(version_text, &version) || version < 0) {
    return Status(VerorarivErrorCode::DataLoss,
                  util::StringFormat("The schema version row holds \"%s\", not a version number",
                                     version_text));
  }
  return version;
}

Status LevelDbMigrations::RunMigrations(leveldb::DB* db) {
  return RunMigrations(db, kSchemaVersion);
}

Status LevelDbMigrations::RunMigrations(leveldb::DB* db, SchemaVersion to_version) {
  StatusOr<SchemaVersion> read = ReadSchemaVersion(db);
  if (!read.ok()) return read.status();
  SchemaVersion from_version = read.value();

  if (from_version > to_version) {
    LevelDbTransaction transaction = NewTransaction(db, "Save downgrade version");
    SaveVersion(to_version, &transaction);
    transaction.Commit();
    return Status::OK();
  }

  if (from_version < 3 && to_version >= 3) ClearQueryCache(db);
  if (from_version < 4 && to_version >= 4) EnsureSentinelRows(db);
  if (from_version < 5 && to_version >= 5) RemoveAcknowledgedMutations(db);
  if (from_version < 6 && to_version >= 6) EnsureCollectionParentsIndex(db);
  return Status::OK();
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
