#ifndef DAVEDOVE_VERORARIV_CORE_VIEW_SNAPSHOT_H_
#define DAVEDOVE_VERORARIV_CORE_VIEW_SNAPSHOT_H_

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_set.h"

namespace davedove {
namespace verorariv {
namespace core {

// One change of a query's result: a document and how it changed.
class DocumentViewChange {
 public:
  enum class Type : int32_t {
    Removed = 0,
    Added = 1,
    Modified = 2,
    Metadata = 3,
  };

  DocumentViewChange(model::DocumentPtr document, Type type)
      : document_(std::move(document)), type_(type) {}

  const model::DocumentPtr& document() const { return document_; }
  Type type() const { return type_; }

  // "<DocumentViewChange doc:<document> type:<type number>>".
  std::string ToString() const;

  friend bool operator==(const DocumentViewChange& lhs, const DocumentViewChange& rhs);
  friend bool operator!=(const DocumentViewChange& lhs, const DocumentViewChange& rhs) {
    return !(lhs == rhs);
  }

 private:
  model::DocumentPtr document_;
  Type type_;
};

std::ostream& operator<<(std::ostream& out, const DocumentViewChange& change);

// Collects the changes of one view update, one per document: a later change of a document is
// merged into the earlier one (added then modified stays added, added then removed vanishes).
class DocumentViewChangeSet {
 public:
  void AddChange(DocumentViewChange change);
  // In key order.
  std::vector<DocumentViewChange> GetChanges() const;
  bool empty() const { return changes_.empty(); }

 private:
  std::map<model::DocumentKey, DocumentViewChange> changes_;
};

// A query's result at one moment: its documents in the query's order, what changed since the
// previous snapshot, and where the data comes from.
class ViewSnapshot {
 public:
  // Only document changes (a snapshot that the local store reads).
  explicit ViewSnapshot(std::vector<DocumentViewChange> document_changes);

  ViewSnapshot(QueryPtr query, model::DocumentSet documents, model::DocumentSet old_documents,
               std::vector<DocumentViewChange> document_changes, bool from_cache,
               model::DocumentKeySet mutated_keys, bool sync_state_changed,
               bool excludes_metadata_changes);

  // A first snapshot: every document of `documents` added.
  static ViewSnapshot FromInitialDocuments(QueryPtr query, model::DocumentSet documents,
                                           model::DocumentKeySet mutated_keys, bool from_cache,
                                           bool excludes_metadata_changes);

  const QueryPtr& query() const { return query_; }
  const model::DocumentSet& documents() const { return documents_; }
  const model::DocumentSet& old_documents() const { return old_documents_; }
  const std::vector<DocumentViewChange>& document_changes() const { return document_changes_; }
  // The result is not known to be in sync with the server.
  bool from_cache() const { return from_cache_; }
  // Keys of the documents that show local writes not yet acknowledged.
  const model::DocumentKeySet& mutated_keys() const { return mutated_keys_; }
  bool has_pending_writes() const { return !mutated_keys_.empty(); }
  bool sync_state_changed() const { return sync_state_changed_; }
  // Metadata changes were filtered out of document_changes.
  bool excludes_metadata_changes() const { return excludes_metadata_changes_; }

  std::string ToString() const;

 private:
  QueryPtr query_;
  model::DocumentSet documents_;
  model::DocumentSet old_documents_;
  std::vector<DocumentViewChange> document_changes_;
  bool from_cache_ = false;
  model::DocumentKeySet mutated_keys_;
  bool sync_state_changed_ = false;
  bool excludes_metadata_changes_ = false;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_VIEW_SNAPSHOT_H_
