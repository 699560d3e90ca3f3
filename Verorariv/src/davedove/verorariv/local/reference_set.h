#ifndef DAVEDOVE_VERORARIV_LOCAL_REFERENCE_SET_H_
#define DAVEDOVE_VERORARIV_LOCAL_REFERENCE_SET_H_

#include "davedove/verorariv/immutable/sorted_set.h"
#include "davedove/verorariv/local/document_key_reference.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"

namespace davedove {
namespace verorariv {
namespace local {

// Which documents each owner id (target or batch) references, answerable both by id and by key.
class ReferenceSet {
 public:
  // Adding a reference that exists already keeps one.
  void AddReference(const model::DocumentKey& key, int id);
  void AddReferences(const model::DocumentKeySet& keys, int id);
  // A missing reference is no error.
  void RemoveReference(const model::DocumentKey& key, int id);
  void RemoveReferences(const model::DocumentKeySet& keys, int id);
  // Removes every reference of `id`; the keys that were removed.
  model::DocumentKeySet RemoveReferences(int id);
  void RemoveAllReferences();

  model::DocumentKeySet ReferencedKeys(int id) const;
  // Whether any id references the key.
  bool ContainsKey(const model::DocumentKey& key) const;

  bool empty() const { return by_key_.empty(); }

 private:
  void RemoveReference(const DocumentKeyReference& reference);

  immutable::SortedSet<DocumentKeyReference, DocumentKeyReference::ByKey> by_key_;
  immutable::SortedSet<DocumentKeyReference, DocumentKeyReference::ById> by_id_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_REFERENCE_SET_H_
