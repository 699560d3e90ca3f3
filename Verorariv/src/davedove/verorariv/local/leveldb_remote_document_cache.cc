#include "davedove/verorariv/local/leveldb_remote_document_cache.h"

#include <string>
#include <utility>

#include "absl/strings/match.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"

namespace davedove {
namespace verorariv {
namespace local {

using model::DocumentKey;
using model::DocumentKeySet;
using model::MaybeDocumentMap;
using model::MaybeDocumentPtr;

LevelDbRemoteDocumentCache::LevelDbRemoteDocumentCache(
    VRVLevelDB* db, std::shared_ptr<const VRVLocalSerializer> serializer)
    : db_(db), serializer_(std::move(serializer)) {}

void LevelDbRemoteDocumentCache::Add(const MaybeDocumentPtr& document) {
  const DocumentKey& key = document->key();
  db_->currentTransaction()->Put(LevelDbRemoteDocumentKey::Key(key),
                                 serializer_->encodedMaybeDocument(*document));
  db_->indexManager()->AddToCollectionParentIndex(key.path().PopLast());
}

void LevelDbRemoteDocumentCache::Remove(const DocumentKey& key) {
  db_->currentTransaction()->Delete(LevelDbRemoteDocumentKey::Key(key));
}

MaybeDocumentPtr LevelDbRemoteDocumentCache::Get(const DocumentKey& key) {
  std::string encoded;
  leveldb::Status status =
      db_->currentTransaction()->Get(LevelDbRemoteDocumentKey::Key(key), &encoded);
  if (status.IsNotFound()) return nullptr;
  HARD_ASSERT(status.ok(), "Fetch document for key (%s) failed with status: %s", key.ToString(),
              status.ToString());
  return DecodeMaybeDocument(encoded, key);
}

MaybeDocumentMap LevelDbRemoteDocumentCache::GetAll(const DocumentKeySet& keys) {
  MaybeDocumentMap result;
  auto it = db_->currentTransaction()->NewIterator();
  for (const DocumentKey& key : keys) {
    it->Seek(LevelDbRemoteDocumentKey::Key(key));
    LevelDbRemoteDocumentKey rowKey;
    if (it->Valid() && rowKey.Decode(it->key()) && rowKey.document_key() == key) {
      result = result.insert(key, DecodeMaybeDocument(it->value(), key));
    } else {
      result = result.insert(key, nullptr);
    }
  }
  return result;
}

model::DocumentMap LevelDbRemoteDocumentCache::GetMatching(const core::VRVQuery& query) {
  MODEL_ASSERT(!query.isCollectionGroupQuery(), "![query isCollectionGroupQuery]",
               "CollectionGroup queries should be handled in LocalDocumentsView");

  model::DocumentMap result;
  const model::ResourcePath& queryPath = query.path();
  size_t wantedLength = queryPath.size() + 1;
  std::string prefix = LevelDbRemoteDocumentKey::KeyPrefix(queryPath);
  auto it = db_->currentTransaction()->NewIterator();
  // The collection's rows are contiguous: the first key outside the prefix ends the scan.
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    LevelDbRemoteDocumentKey rowKey;
    if (!rowKey.Decode(it->key())) break;
    // Documents in subcollections are skipped by their key alone.
    if (rowKey.document_key().path().size() != wantedLength) continue;
    MaybeDocumentPtr document = DecodeMaybeDocument(it->value(), rowKey.document_key());
    auto existing = std::dynamic_pointer_cast<const model::VRVDocument>(document);
    // Filtered here, as the memory cache does: the documents view adds what pending writes make
    // match, and would otherwise remove the non-matching rest one by one.
    if (existing && query.matchesDocument(*existing)) result = result.insert(rowKey.document_key(), existing);
  }
  return result;
}

MaybeDocumentPtr LevelDbRemoteDocumentCache::DecodeMaybeDocument(absl::string_view encoded,
                                                                 const DocumentKey& key) {
  VRVPBMaybeDocument proto;
  if (!proto.ParseFromArray(encoded.data(), static_cast<int>(encoded.size()))) {
    LOG_WARN("The cached document %s does not decode (%s bytes); it is treated as absent",
             key.ToString(), encoded.size());
    return nullptr;
  }
  util::StatusOr<MaybeDocumentPtr> decoded = serializer_->decodeMaybeDocument(proto);
  if (!decoded.ok()) {
    LOG_WARN("The cached document %s does not decode (%s); it is treated as absent",
             key.ToString(), decoded.status().ToString());
    return nullptr;
  }
  MaybeDocumentPtr document = std::move(decoded).value();
  if (document->key() != key) {
    LOG_WARN("The cached document %s holds the document %s; it is treated as absent",
             key.ToString(), document->key().ToString());
    return nullptr;
  }
  return document;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
