#ifndef DAVEDOVE_VERORARIV_CORE_VIEW_H_
#define DAVEDOVE_VERORARIV_CORE_VIEW_H_

#include <optional>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/view_snapshot.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_map.h"
#include "davedove/verorariv/model/document_set.h"
#include "davedove/verorariv/remote/remote_event.h"

namespace davedove {
namespace verorariv {
namespace core {

// Whether a view's documents are known to agree with the server.
enum class SyncState { None, Local, Synced };

// A document that entered or left a view's limbo: it shows in the view although the server's
// result for the target does not hold it, so the server must be asked about it directly.
class LimboDocumentChange {
 public:
  enum class Type { Added, Removed };

  LimboDocumentChange(Type type, model::DocumentKey key) : type_(type), key_(std::move(key)) {}

  Type type() const { return type_; }
  const model::DocumentKey& key() const { return key_; }

  friend bool operator==(const LimboDocumentChange& lhs, const LimboDocumentChange& rhs) {
    return lhs.type_ == rhs.type_ && lhs.key_ == rhs.key_;
  }

 private:
  Type type_;
  model::DocumentKey key_;
};

// The view's documents after some changes, before the view takes them.
struct ViewDocumentChanges {
  model::DocumentSet document_set;
  DocumentViewChangeSet change_set;
  model::DocumentKeySet mutated_keys;
  // A limited view lost documents and must be filled again from the local store.
  bool needs_refill = false;
};

struct ViewChange {
  std::optional<ViewSnapshot> snapshot;
  std::vector<LimboDocumentChange> limbo_changes;
};

// The result of one query as the client shows it: the local documents that match, in the query's
// order, merged with what the server says belongs to the target. Lives on the worker queue.
class View {
 public:
  // `remote_documents`: the keys the server last said belong to the target.
  View(QueryPtr query, model::DocumentKeySet remote_documents);

  // The view's documents after the changes; the view itself is not changed. `user_changed`: the
  // changes follow a change of user, so the local writes the view shows were another user's.
  ViewDocumentChanges ComputeDocumentChanges(const model::MaybeDocumentMap& doc_changes,
                                             bool user_changed = false) const;
  // Continues from changes computed before (a refill of a limited view).
  ViewDocumentChanges ComputeDocumentChanges(const model::MaybeDocumentMap& doc_changes,
                                             const ViewDocumentChanges& previous,
                                             bool user_changed = false) const;

  // Takes the changes and, when given, the server's change of the target; the snapshot is absent
  // when nothing is to be told.
  ViewChange ApplyChanges(const ViewDocumentChanges& doc_changes);
  ViewChange ApplyChanges(const ViewDocumentChanges& doc_changes,
                          const std::optional<remote::TargetChange>& target_change);

  // Going offline makes the view's result one from the cache.
  ViewChange ApplyOfflineState();

  const QueryPtr& query() const { return query_; }
  const model::DocumentSet& documents() const { return document_set_; }
  const model::DocumentKeySet& synced_documents() const { return synced_documents_; }
  const model::DocumentKeySet& limbo_documents() const { return limbo_documents_; }

 private:
  bool ShouldBeLimboDocumentKey(const model::DocumentKey& key) const;
  std::vector<LimboDocumentChange> UpdateLimboDocuments();
  void ApplyTargetChange(const remote::TargetChange& target_change);

  QueryPtr query_;
  SyncState sync_state_ = SyncState::None;
  bool current_ = false;
  model::DocumentSet document_set_;
  model::DocumentKeySet synced_documents_;
  model::DocumentKeySet limbo_documents_;
  model::DocumentKeySet mutated_keys_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_VIEW_H_
