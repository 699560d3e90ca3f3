#ifndef DAVEDOVE_VERORARIV_MODEL_DOCUMENT_MAP_H_
#define DAVEDOVE_VERORARIV_MODEL_DOCUMENT_MAP_H_

#include <utility>

#include "davedove/verorariv/immutable/sorted_map.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace model {

// A persistent sorted map from document key to what is known of the document (null when nothing).
using MaybeDocumentMap =
    immutable::SortedMap<DocumentKey, MaybeDocumentPtr, util::Comparator<DocumentKey>>;

// A persistent sorted map from document key to existing document: a MaybeDocumentMap whose
// values are always VRVDocuments.
class DocumentMap {
 public:
  using const_iterator = MaybeDocumentMap::const_iterator;

  DocumentMap() = default;

  DocumentMap insert(const DocumentKey& key, const DocumentPtr& document) const {
    return DocumentMap(map_.insert(key, document));
  }
  DocumentMap erase(const DocumentKey& key) const { return DocumentMap(map_.erase(key)); }

  bool contains(const DocumentKey& key) const { return map_.contains(key); }
  const_iterator find(const DocumentKey& key) const { return map_.find(key); }
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }

  // The same entries as a map of maybe-documents.
  const MaybeDocumentMap& underlying_map() const { return map_; }

 private:
  explicit DocumentMap(MaybeDocumentMap&& map) : map_(std::move(map)) {}

  MaybeDocumentMap map_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_DOCUMENT_MAP_H_
