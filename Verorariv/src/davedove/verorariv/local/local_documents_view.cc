#include "davedove/verorariv/local/local_documents_view.h"

#include <string>
#include <utility>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace local {

using core::QueryPtr;
using core::VRVQuery;
using model::DocumentKey;
using model::DocumentKeySet;
using model::DocumentMap;
using model::DocumentPtr;
using model::MaybeDocumentMap;
using model::MaybeDocumentPtr;
using model::MutationBatchPtr;
using model::MutationPtr;
using model::ResourcePath;
using model::SnapshotVersion;
using model::VRVDeletedDocument;
using model::VRVDocument;

namespace {

// The receiver as an existing document, or null.
DocumentPtr AsDocumentPtr(const MaybeDocumentPtr& maybeDoc) {
  return std::dynamic_pointer_cast<const VRVDocument>(maybeDoc);
}

}  // namespace

MaybeDocumentPtr LocalDocumentsView::GetDocument(const DocumentKey& key) {
  std::vector<MutationBatchPtr> batches = mutationQueue_->AllMutationBatchesAffectingDocumentKey(key);
  return GetDocument(key, batches);
}

MaybeDocumentPtr LocalDocumentsView::GetDocument(const DocumentKey& key,
                                                 const std::vector<MutationBatchPtr>& batches) {
  MaybeDocumentPtr document = remoteDocumentCache_->Get(key);
  for (const MutationBatchPtr& batch : batches) {
    document = batch->applyToLocalDocument(document, key);
  }
  return document;
}

MaybeDocumentMap LocalDocumentsView::ApplyLocalMutationsToDocuments(
    const MaybeDocumentMap& docs, const std::vector<MutationBatchPtr>& batches) {
  MaybeDocumentMap results;
  for (const auto& entry : docs) {
    MaybeDocumentPtr localView = entry.second;
    for (const MutationBatchPtr& batch : batches) {
      localView = batch->applyToLocalDocument(localView, entry.first);
    }
    results = results.insert(entry.first, localView);
  }
  return results;
}

MaybeDocumentMap LocalDocumentsView::GetDocuments(const DocumentKeySet& keys) {
  return GetLocalViewOfDocuments(remoteDocumentCache_->GetAll(keys));
}

MaybeDocumentMap LocalDocumentsView::GetLocalViewOfDocuments(const MaybeDocumentMap& baseDocs) {
  DocumentKeySet allKeys;
  for (const auto& entry : baseDocs) {
    allKeys = allKeys.insert(entry.first);
  }
  std::vector<MutationBatchPtr> batches =
      mutationQueue_->AllMutationBatchesAffectingDocumentKeys(allKeys);
  MaybeDocumentMap docs = ApplyLocalMutationsToDocuments(baseDocs, batches);

  MaybeDocumentMap result;
  for (const auto& entry : docs) {
    MaybeDocumentPtr maybeDoc = entry.second;
    // A document that exists nowhere is reported as deleted at the none version.
    if (!maybeDoc) {
      maybeDoc = VRVDeletedDocument::documentWithKey(entry.first, SnapshotVersion::None(),
                                                     /*hasCommittedMutations=*/false);
    }
    result = result.insert(entry.first, maybeDoc);
  }
  return result;
}

DocumentMap LocalDocumentsView::GetDocumentsMatchingQuery(const VRVQuery& query) {
  if (query.isDocumentQuery()) {
    return GetDocumentsMatchingDocumentQuery(query.path());
  } else if (query.isCollectionGroupQuery()) {
    return GetDocumentsMatchingCollectionGroupQuery(query);
  } else {
    return GetDocumentsMatchingCollectionQuery(query);
  }
}

DocumentMap LocalDocumentsView::GetDocumentsMatchingDocumentQuery(const ResourcePath& docPath) {
  DocumentMap result;
  DocumentKey key(docPath);
  if (DocumentPtr document = AsDocumentPtr(GetDocument(key))) {
    result = result.insert(key, document);
  }
  return result;
}

DocumentMap LocalDocumentsView::GetDocumentsMatchingCollectionGroupQuery(const VRVQuery& query) {
  HARD_ASSERT(query.path().empty(),
              "Currently we only support collection group queries at the root.");
  const std::string& collectionID = *query.collectionGroup();
  DocumentMap results;
  std::vector<ResourcePath> parents = indexManager_->GetCollectionParents(collectionID);
  for (const ResourcePath& parent : parents) {
    QueryPtr collectionQuery = query.collectionQueryAtPath(parent.Append(collectionID));
    DocumentMap collectionResults = GetDocumentsMatchingCollectionQuery(*collectionQuery);
    for (const auto& entry : collectionResults) {
      results = results.insert(entry.first, AsDocumentPtr(entry.second));
    }
  }
  return results;
}

DocumentMap LocalDocumentsView::GetDocumentsMatchingCollectionQuery(const VRVQuery& query) {
  // The cache may leave out documents that do not match as stored; a pending write can make them
  // match, so every document a pending write starts from is read as well.
  DocumentMap results = remoteDocumentCache_->GetMatching(query);
  std::vector<MutationBatchPtr> matchingBatches =
      mutationQueue_->AllMutationBatchesAffectingQuery(query);
  DocumentKeySet missingBases;
  for (const MutationBatchPtr& batch : matchingBatches) {
    for (const MutationPtr& mutation : batch->mutations()) {
      const DocumentKey& key = mutation->key();
      if (query.path() == key.path().PopLast() && results.find(key) == results.end()) {
        missingBases = missingBases.insert(key);
      }
    }
  }
  if (!missingBases.empty()) {
    for (const auto& entry : remoteDocumentCache_->GetAll(missingBases)) {
      if (DocumentPtr document = AsDocumentPtr(entry.second)) {
        results = results.insert(entry.first, document);
      }
    }
  }

  for (const MutationBatchPtr& batch : matchingBatches) {
    for (const MutationPtr& mutation : batch->mutations()) {
      const DocumentKey& key = mutation->key();
      // Only documents directly in the collection; a subcollection's documents are not results.
      if (query.path() != key.path().PopLast()) {
        continue;
      }
      MaybeDocumentPtr baseDoc;
      auto found = results.find(key);
      if (found != results.end()) {
        baseDoc = found->second;
      }
      MaybeDocumentPtr mutated =
          mutation->applyToLocalDocument(baseDoc, baseDoc, batch->localWriteTime());
      if (DocumentPtr document = AsDocumentPtr(mutated)) {
        results = results.insert(key, document);
      } else {
        results = results.erase(key);
      }
    }
  }

  // Local writes may have made documents stop matching, and documents that only local writes
  // created have not been filtered yet.
  DocumentMap filtered = results;
  for (const auto& entry : results) {
    if (!query.matchesDocument(*AsDocumentPtr(entry.second))) {
      filtered = filtered.erase(entry.first);
    }
  }
  return filtered;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
