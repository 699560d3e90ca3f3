#include "davedove/verorariv/core/view_snapshot.h"

#include <ostream>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace core {

std::string DocumentViewChange::ToString() const {
  return util::StringFormat("<DocumentViewChange doc:%s type:%s>", document_, type_);
}

bool operator==(const DocumentViewChange& lhs, const DocumentViewChange& rhs) {
  if (lhs.type_ != rhs.type_) return false;
  if (lhs.document_ == rhs.document_) return true;
  return lhs.document_ && rhs.document_ && lhs.document_->isEqual(*rhs.document_);
}

std::ostream& operator<<(std::ostream& out, const DocumentViewChange& change) {
  return out << change.ToString();
}

void DocumentViewChangeSet::AddChange(DocumentViewChange change) {
  using Type = DocumentViewChange::Type;
  const model::DocumentKey& key = change.document()->key();
  auto found = changes_.find(key);
  if (found == changes_.end()) {
    changes_.emplace(key, std::move(change));
    return;
  }
  Type old_type = found->second.type();
  Type new_type = change.type();
  const model::DocumentPtr& doc = change.document();
  if (new_type != Type::Added && old_type == Type::Metadata) {
    found->second = std::move(change);
  } else if (new_type == Type::Metadata && old_type != Type::Removed) {
    found->second = DocumentViewChange(doc, old_type);
  } else if (new_type == Type::Modified && old_type == Type::Modified) {
    found->second = DocumentViewChange(doc, Type::Modified);
  } else if (new_type == Type::Modified && old_type == Type::Added) {
    found->second = DocumentViewChange(doc, Type::Added);
  } else if (new_type == Type::Removed && old_type == Type::Added) {
    changes_.erase(found);
  } else if (new_type == Type::Removed && old_type == Type::Modified) {
    found->second = DocumentViewChange(found->second.document(), Type::Removed);
  } else if (new_type == Type::Added && old_type == Type::Removed) {
    found->second = DocumentViewChange(doc, Type::Modified);
  } else {
    HARD_FAIL("Unsupported combination of changes: %s after %s", static_cast<int>(new_type),
              static_cast<int>(old_type));
  }
}

std::vector<DocumentViewChange> DocumentViewChangeSet::GetChanges() const {
  std::vector<DocumentViewChange> changes;
  changes.reserve(changes_.size());
  for (const auto& entry : changes_) changes.push_back(entry.second);
  return changes;
}

namespace {

model::DocumentSet KeyOrderedSet() {
  return model::DocumentSet([](const model::VRVDocument& lhs, const model::VRVDocument& rhs) {
    return util::Compare(lhs.key(), rhs.key());
  });
}

}  // namespace

ViewSnapshot::ViewSnapshot(std::vector<DocumentViewChange> document_changes)
    : documents_(KeyOrderedSet()),
      old_documents_(KeyOrderedSet()),
      document_changes_(std::move(document_changes)) {}

ViewSnapshot::ViewSnapshot(QueryPtr query, model::DocumentSet documents,
                           model::DocumentSet old_documents,
                           std::vector<DocumentViewChange> document_changes, bool from_cache,
                           model::DocumentKeySet mutated_keys, bool sync_state_changed,
                           bool excludes_metadata_changes)
    : query_(std::move(query)),
      documents_(std::move(documents)),
      old_documents_(std::move(old_documents)),
      document_changes_(std::move(document_changes)),
      from_cache_(from_cache),
      mutated_keys_(std::move(mutated_keys)),
      sync_state_changed_(sync_state_changed),
      excludes_metadata_changes_(excludes_metadata_changes) {}

ViewSnapshot ViewSnapshot::FromInitialDocuments(QueryPtr query, model::DocumentSet documents,
                                                model::DocumentKeySet mutated_keys,
                                                bool from_cache, bool excludes_metadata_changes) {
  std::vector<DocumentViewChange> changes;
  for (const model::DocumentPtr& doc : documents) {
    changes.emplace_back(doc, DocumentViewChange::Type::Added);
  }
  model::DocumentSet empty(query->comparator());
  return ViewSnapshot(std::move(query), std::move(documents), std::move(empty),
                      std::move(changes), from_cache, std::move(mutated_keys),
                      /*sync_state_changed=*/true, excludes_metadata_changes);
}

std::string ViewSnapshot::ToString() const {
  std::string changes;
  for (const DocumentViewChange& change : document_changes_) {
    if (!changes.empty()) changes += ", ";
    changes += change.ToString();
  }
  return util::StringFormat(
      "<ViewSnapshot query: %s documents: %s old documents: %s changes: [%s] from cache: %s "
      "mutated keys: %s sync state changed: %s excludes metadata changes: %s>",
      query_ ? query_->ToString() : std::string("none"), documents_.ToString(),
      old_documents_.ToString(), changes, from_cache_, mutated_keys_.size(), sync_state_changed_,
      excludes_metadata_changes_);
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
