#ifndef DAVEDOVE_VERORARIV_LOCAL_REMOTE_DOCUMENT_CACHE_H_
#define DAVEDOVE_VERORARIV_LOCAL_REMOTE_DOCUMENT_CACHE_H_

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_map.h"

namespace davedove {
namespace verorariv {
namespace local {

// The last known server state of each document.
class RemoteDocumentCache {
 public:
  virtual ~RemoteDocumentCache() = default;

  // Stores the document under its key, replacing what was there, and records its collection in
  // the collection-parent index.
  virtual void Add(const model::MaybeDocumentPtr& document) = 0;
  virtual void Remove(const model::DocumentKey& key) = 0;
  // The stored document, or null.
  virtual model::MaybeDocumentPtr Get(const model::DocumentKey& key) = 0;
  // One entry per requested key; null for a key that is not stored.
  virtual model::MaybeDocumentMap GetAll(const model::DocumentKeySet& keys) = 0;
  // The stored existing documents directly in the query's collection (an implementation may also
  // filter by the query). Collection-group queries are refused.
  virtual model::DocumentMap GetMatching(const core::VRVQuery& query) = 0;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_REMOTE_DOCUMENT_CACHE_H_
