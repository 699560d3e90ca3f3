#ifndef DAVEDOVE_VERORARIV_LOCAL_LOCAL_DOCUMENTS_VIEW_H_
#define DAVEDOVE_VERORARIV_LOCAL_LOCAL_DOCUMENTS_VIEW_H_

#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/index_manager.h"
#include "davedove/verorariv/local/mutation_queue.h"
#include "davedove/verorariv/local/remote_document_cache.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_map.h"
#include "davedove/verorariv/model/resource_path.h"

namespace davedove {
namespace verorariv {
namespace local {

// The documents as the user sees them: the remote document cache with the user's pending batches
// applied on top, in batch order. Reads only; the three storage objects are borrowed.
class LocalDocumentsView {
 public:
  LocalDocumentsView(RemoteDocumentCache* remoteDocumentCache, MutationQueue* mutationQueue,
                     IndexManager* indexManager)
      : remoteDocumentCache_(remoteDocumentCache),
        mutationQueue_(mutationQueue),
        indexManager_(indexManager) {}

  // Null when neither the cache nor any batch yields a document.
  model::MaybeDocumentPtr GetDocument(const model::DocumentKey& key);
  // An entry for every key; a document that exists nowhere is deleted at the none version.
  model::MaybeDocumentMap GetDocuments(const model::DocumentKeySet& keys);
  // `baseDocs` with the pending batches applied; every value is non-null.
  model::MaybeDocumentMap GetLocalViewOfDocuments(const model::MaybeDocumentMap& baseDocs);
  model::DocumentMap GetDocumentsMatchingQuery(const core::VRVQuery& query);

 private:
  model::MaybeDocumentPtr GetDocument(const model::DocumentKey& key,
                                      const std::vector<model::MutationBatchPtr>& batches);
  model::MaybeDocumentMap ApplyLocalMutationsToDocuments(
      const model::MaybeDocumentMap& docs, const std::vector<model::MutationBatchPtr>& batches);
  model::DocumentMap GetDocumentsMatchingDocumentQuery(const model::ResourcePath& docPath);
  model::DocumentMap GetDocumentsMatchingCollectionGroupQuery(const core::VRVQuery& query);
  model::DocumentMap GetDocumentsMatchingCollectionQuery(const core::VRVQuery& query);

  RemoteDocumentCache* remoteDocumentCache_;
  MutationQueue* mutationQueue_;
  IndexManager* indexManager_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LOCAL_DOCUMENTS_VIEW_H_
