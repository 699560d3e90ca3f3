#include "davedove/verorariv/local/memory_remote_document_cache.h"

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/model/model_assert.h"

namespace davedove {
namespace verorariv {
namespace local {

void MemoryRemoteDocumentCache::Add(const model::MaybeDocumentPtr& document) {
  docs_ = docs_.insert(document->key(), document);
  persistence_->indexManager()->AddToCollectionParentIndex(document->key().path().PopLast());
}

void MemoryRemoteDocumentCache::Remove(const model::DocumentKey& key) {
  docs_ = docs_.erase(key);
}

model::MaybeDocumentPtr MemoryRemoteDocumentCache::Get(const model::DocumentKey& key) {
  auto found = docs_.find(key);
  return found == docs_.end() ? nullptr : found->second;
}

model::MaybeDocumentMap MemoryRemoteDocumentCache::GetAll(const model::DocumentKeySet& keys) {
  model::MaybeDocumentMap results;
  for (const model::DocumentKey& key : keys) {
    results = results.insert(key, Get(key));
  }
  return results;
}

model::DocumentMap MemoryRemoteDocumentCache::GetMatching(const core::VRVQuery& query) {
  MODEL_ASSERT(!query.isCollectionGroupQuery(), "![query isCollectionGroupQuery]",
               "CollectionGroup queries should be handled in LocalDocumentsView");
  model::DocumentMap results;
  const model::ResourcePath& queryPath = query.path();
  // An empty last segment sorts before every document of the collection; a document path is a
  // key already.
  model::DocumentKey prefix(queryPath.size() % 2 == 1 ? queryPath.Append("") : queryPath);
  for (auto it = docs_.lower_bound(prefix); it != docs_.end(); ++it) {
    const model::DocumentKey& key = it->first;
    if (!queryPath.IsPrefixOf(key.path())) break;
    const model::MaybeDocumentPtr& maybeDoc = it->second;
    auto document = std::dynamic_pointer_cast<const model::VRVDocument>(maybeDoc);
    if (document && query.matchesDocument(*document)) {
      results = results.insert(key, document);
    }
  }
  return results;
}

std::vector<model::DocumentKey> MemoryRemoteDocumentCache::RemoveOrphanedDocuments(
    VRVMemoryLRUReferenceDelegate* delegate, model::ListenSequenceNumber upperBound) {
  std::vector<model::DocumentKey> removed;
  model::MaybeDocumentMap updated = docs_;
  for (const auto& entry : docs_) {
    if (!delegate->isPinnedAtSequenceNumber(upperBound, entry.first)) {
      updated = updated.erase(entry.first);
      removed.push_back(entry.first);
    }
  }
  docs_ = updated;
  return removed;
}

int64_t MemoryRemoteDocumentCache::CalculateByteSize(const VRVLocalSerializer& serializer) {
  int64_t count = 0;
  for (const auto& entry : docs_) {
    for (const std::string& segment : entry.first.path()) {
      count += static_cast<int64_t>(segment.size());
    }
    if (entry.second) {
      count += static_cast<int64_t>(serializer.encodedMaybeDocument(*entry.second).ByteSizeLong());
    }
  }
  return count;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
