#include "davedove/verorariv/core/view.h"

#include <algorithm>
#include <utility>

namespace davedove {
namespace verorariv {
namespace core {

using model::DocumentKey;
using model::DocumentKeySet;
using model::DocumentPtr;
using model::DocumentSet;
using model::MaybeDocumentMap;
using model::VRVDocument;

namespace {

// Removed first, then added, then modified and metadata, so a listener sees a document leave
// before another takes its place.
int ChangeTypeOrder(DocumentViewChange::Type type) {
  switch (type) {
    case DocumentViewChange::Type::Added:
      return 1;
    case DocumentViewChange::Type::Modified:
    case DocumentViewChange::Type::Metadata:
      return 2;
    case DocumentViewChange::Type::Removed:
      return 0;
  }
  return 3;
}

bool SameData(const VRVDocument& lhs, const VRVDocument& rhs) {
  if (lhs.data() == rhs.data()) return true;
  return lhs.data() && rhs.data() && lhs.data()->isEqual(*rhs.data());
}

// A local write that the server has acknowledged but not yet sent back on the target would show
// the document briefly without its change; keep the local version until the synced one arrives.
bool ShouldWaitForSyncedDocument(const VRVDocument& old_doc, const VRVDocument& new_doc) {
  return old_doc.hasLocalMutations() && new_doc.hasCommittedMutations() &&
         !new_doc.hasLocalMutations();
}

}  // namespace

View::View(QueryPtr query, DocumentKeySet remote_documents)
    : query_(std::move(query)),
      document_set_(query_->comparator()),
      synced_documents_(std::move(remote_documents)) {}

ViewDocumentChanges View::ComputeDocumentChanges(const MaybeDocumentMap& doc_changes,
                                                 bool user_changed) const {
  return ComputeDocumentChanges(
      doc_changes, ViewDocumentChanges{document_set_, DocumentViewChangeSet(), mutated_keys_, false},
      user_changed);
}

ViewDocumentChanges View::ComputeDocumentChanges(const MaybeDocumentMap& doc_changes,
                                                 const ViewDocumentChanges& previous,
                                                 bool user_changed) const {
  DocumentViewChangeSet change_set = previous.change_set;
  const DocumentSet& old_set = previous.document_set;
  DocumentSet new_set = old_set;
  DocumentKeySet mutated_keys = previous.mutated_keys;
  bool needs_refill = false;

  model::DocumentCompareCallback compare = query_->comparator();
  DocumentPtr last_doc_in_limit;
  if (query_->hasLimit() && old_set.size() == static_cast<size_t>(query_->limit())) {
    last_doc_in_limit = old_set.GetLastDocument();
  }

  for (const auto& entry : doc_changes) {
    const DocumentKey& key = entry.first;
    DocumentPtr old_doc = old_set.GetDocument(key);
    DocumentPtr new_doc = std::dynamic_pointer_cast<const VRVDocument>(entry.second);
    if (new_doc && !query_->matchesDocument(*new_doc)) new_doc = nullptr;

    // An acknowledged write stays pending until the server's copy of the document arrives, in a
    // view that saw the write made as in one that started later, so that all views agree.
    bool old_doc_had_pending = old_doc && mutated_keys.contains(key);
    bool new_doc_has_pending = new_doc && new_doc->hasPendingWrites();

    bool change_applied = false;
    if (old_doc && new_doc) {
      if (!SameData(*old_doc, *new_doc)) {
        // The previous user's write is no acknowledged write of the new user's: nothing to wait
        // for.
        if (user_changed || !ShouldWaitForSyncedDocument(*old_doc, *new_doc)) {
          change_set.AddChange(DocumentViewChange(new_doc, DocumentViewChange::Type::Modified));
          change_applied = true;
          if (last_doc_in_limit &&
              compare(*new_doc, *last_doc_in_limit) == util::ComparisonResult::Descending) {
            needs_refill = true;
          }
        }
      } else if (old_doc_had_pending != new_doc_has_pending) {
        change_set.AddChange(DocumentViewChange(new_doc, DocumentViewChange::Type::Metadata));
        change_applied = true;
      }
    } else if (!old_doc && new_doc) {
      change_set.AddChange(DocumentViewChange(new_doc, DocumentViewChange::Type::Added));
      change_applied = true;
    } else if (old_doc && !new_doc) {
      change_set.AddChange(DocumentViewChange(old_doc, DocumentViewChange::Type::Removed));
      change_applied = true;
      if (last_doc_in_limit) needs_refill = true;
    }

    if (change_applied) {
      if (new_doc) {
        new_set = new_set.insert(new_doc);
        mutated_keys = new_doc->hasPendingWrites() ? mutated_keys.insert(key)
                                                   : mutated_keys.erase(key);
      } else {
        new_set = new_set.erase(key);
        mutated_keys = mutated_keys.erase(key);
      }
    }
  }

  if (query_->hasLimit()) {
    while (new_set.size() > static_cast<size_t>(query_->limit())) {
      DocumentPtr last = new_set.GetLastDocument();
      new_set = new_set.erase(last->key());
      mutated_keys = mutated_keys.erase(last->key());
      change_set.AddChange(DocumentViewChange(last, DocumentViewChange::Type::Removed));
    }
  }

  return ViewDocumentChanges{std::move(new_set), std::move(change_set), std::move(mutated_keys),
                             needs_refill};
}

ViewChange View::ApplyChanges(const ViewDocumentChanges& doc_changes) {
  return ApplyChanges(doc_changes, std::nullopt);
}

ViewChange View::ApplyChanges(const ViewDocumentChanges& doc_changes,
                              const std::optional<remote::TargetChange>& target_change) {
  DocumentSet old_docs = document_set_;
  document_set_ = doc_changes.document_set;
  mutated_keys_ = doc_changes.mutated_keys;

  std::vector<DocumentViewChange> changes = doc_changes.change_set.GetChanges();
  model::DocumentCompareCallback compare = query_->comparator();
  std::stable_sort(changes.begin(), changes.end(),
                   [&compare](const DocumentViewChange& lhs, const DocumentViewChange& rhs) {
                     int lhs_order = ChangeTypeOrder(lhs.type());
                     int rhs_order = ChangeTypeOrder(rhs.type());
                     if (lhs_order != rhs_order) return lhs_order < rhs_order;
                     return compare(*lhs.document(), *rhs.document()) ==
                            util::ComparisonResult::Ascending;
                   });

  if (target_change) ApplyTargetChange(*target_change);
  std::vector<LimboDocumentChange> limbo_changes = UpdateLimboDocuments();

  bool synced = limbo_documents_.empty() && current_;
  SyncState new_sync_state = synced ? SyncState::Synced : SyncState::Local;
  bool sync_state_changed = new_sync_state != sync_state_;
  sync_state_ = new_sync_state;

  if (changes.empty() && !sync_state_changed) {
    return ViewChange{std::nullopt, std::move(limbo_changes)};
  }
  ViewSnapshot snapshot(query_, document_set_, std::move(old_docs), std::move(changes),
                        new_sync_state == SyncState::Local, mutated_keys_, sync_state_changed,
                        /*excludes_metadata_changes=*/false);
  return ViewChange{std::move(snapshot), std::move(limbo_changes)};
}

ViewChange View::ApplyOfflineState() {
  if (!current_) return ViewChange{};
  // The server can no longer tell us the view is current, so its result is the cache's.
  current_ = false;
  return ApplyChanges(
      ViewDocumentChanges{document_set_, DocumentViewChangeSet(), mutated_keys_, false});
}

void View::ApplyTargetChange(const remote::TargetChange& target_change) {
  for (const DocumentKey& key : target_change.added_documents()) {
    synced_documents_ = synced_documents_.insert(key);
  }
  for (const DocumentKey& key : target_change.removed_documents()) {
    synced_documents_ = synced_documents_.erase(key);
  }
  current_ = target_change.current();
}

bool View::ShouldBeLimboDocumentKey(const DocumentKey& key) const {
  if (synced_documents_.contains(key)) return false;
  DocumentPtr doc = document_set_.GetDocument(key);
  if (!doc) return false;
  // A local write explains the document; no need to ask the server.
  return !doc->hasLocalMutations();
}

std::vector<LimboDocumentChange> View::UpdateLimboDocuments() {
  if (!current_) return {};
  DocumentKeySet old_limbo = limbo_documents_;
  limbo_documents_ = DocumentKeySet();
  for (const DocumentPtr& doc : document_set_) {
    if (ShouldBeLimboDocumentKey(doc->key())) {
      limbo_documents_ = limbo_documents_.insert(doc->key());
    }
  }
  std::vector<LimboDocumentChange> changes;
  for (const DocumentKey& key : old_limbo) {
    if (!limbo_documents_.contains(key)) {
      changes.emplace_back(LimboDocumentChange::Type::Removed, key);
    }
  }
  for (const DocumentKey& key : limbo_documents_) {
    if (!old_limbo.contains(key)) changes.emplace_back(LimboDocumentChange::Type::Added, key);
  }
  return changes;
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
