#include "davedove/verorariv/local/reference_set.h"

#include <vector>

namespace davedove {
namespace verorariv {
namespace local {

void ReferenceSet::AddReference(const model::DocumentKey& key, int id) {
  DocumentKeyReference reference(key, id);
  by_key_ = by_key_.insert(reference);
  by_id_ = by_id_.insert(reference);
}

void ReferenceSet::AddReferences(const model::DocumentKeySet& keys, int id) {
  for (const model::DocumentKey& key : keys) {
    AddReference(key, id);
  }
}

void ReferenceSet::RemoveReference(const model::DocumentKey& key, int id) {
  RemoveReference(DocumentKeyReference(key, id));
}

void ReferenceSet::RemoveReferences(const model::DocumentKeySet& keys, int id) {
  for (const model::DocumentKey& key : keys) {
    RemoveReference(key, id);
  }
}

model::DocumentKeySet ReferenceSet::RemoveReferences(int id) {
  model::DocumentKeySet removed;
  // The sets are immutable values: walking the old one is unaffected by the removals.
  auto snapshot = by_id_;
  // The empty key sorts first, so the walk starts at the id's first reference.
  for (auto it = snapshot.lower_bound(DocumentKeyReference(model::DocumentKey::Empty(), id));
       it != snapshot.end() && it->ref_id() == id; ++it) {
    removed = removed.insert(it->key());
    RemoveReference(*it);
  }
  return removed;
}

void ReferenceSet::RemoveAllReferences() {
  auto snapshot = by_key_;
  for (const DocumentKeyReference& reference : snapshot) {
    RemoveReference(reference);
  }
}

model::DocumentKeySet ReferenceSet::ReferencedKeys(int id) const {
  model::DocumentKeySet keys;
  for (auto it = by_id_.lower_bound(DocumentKeyReference(model::DocumentKey::Empty(), id));
       it != by_id_.end() && it->ref_id() == id; ++it) {
    keys = keys.insert(it->key());
  }
  return keys;
}

bool ReferenceSet::ContainsKey(const model::DocumentKey& key) const {
  auto it = by_key_.lower_bound(DocumentKeyReference(key, 0));
  return it != by_key_.end() && it->key() == key;
}

void ReferenceSet::RemoveReference(const DocumentKeyReference& reference) {
  by_key_ = by_key_.erase(reference);
  by_id_ = by_id_.erase(reference);
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
