#ifndef DAVEDOVE_VERORARIV_MODEL_DOCUMENT_SET_H_
#define DAVEDOVE_VERORARIV_MODEL_DOCUMENT_SET_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>

#include "davedove/verorariv/immutable/sorted_set.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_map.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace model {

// Three-way order of two documents; a query's comparator is one.
using DocumentCompareCallback =
    std::function<util::ComparisonResult(const VRVDocument&, const VRVDocument&)>;

// Strict order over documents made from a callback; copies share the one callback.
class DocumentSetComparator {
 public:
  DocumentSetComparator() = default;
  explicit DocumentSetComparator(DocumentCompareCallback delegate)
      : delegate_(std::make_shared<const DocumentCompareCallback>(std::move(delegate))) {}

  bool operator()(const DocumentPtr& lhs, const DocumentPtr& rhs) const {
    return (*delegate_)(*lhs, *rhs) == util::ComparisonResult::Ascending;
  }

 private:
  std::shared_ptr<const DocumentCompareCallback> delegate_;
};

// The documents matching a query, in the query's order, with an index by key. A value: every
// change returns a new set sharing storage with the old one.
//
// The callback must answer Same only for documents with equal keys (a query's comparator always
// ends on the key); the set adds no tie-break of its own.
class DocumentSet {
 public:
  using SortedSetType = immutable::SortedSet<DocumentPtr, DocumentSetComparator>;
  using const_iterator = SortedSetType::const_iterator;
  using size_type = SortedSetType::size_type;

  // The position of a key the set does not hold.
  static constexpr size_type npos = SortedSetType::npos;

  explicit DocumentSet(DocumentCompareCallback comparator);

  size_t size() const { return index_.size(); }
  bool empty() const { return index_.empty(); }

  bool ContainsKey(const DocumentKey& key) const { return index_.contains(key); }
  // The document stored under `key`, or null.
  DocumentPtr GetDocument(const DocumentKey& key) const;
  // The position of the key's document in the set's order, or npos.
  size_type IndexOf(const DocumentKey& key) const;
  // Null when the set is empty.
  DocumentPtr GetFirstDocument() const;
  DocumentPtr GetLastDocument() const;

  // A set with `document` in place of any document of the same key; null changes nothing.
  DocumentSet insert(const DocumentPtr& document) const;
  // A set without the document of `key`.
  DocumentSet erase(const DocumentKey& key) const;

  const_iterator begin() const { return sorted_set_.begin(); }
  const_iterator end() const { return sorted_set_.end(); }

  // 31 * h + document hash over the documents in order, starting from 0.
  size_t Hash() const;
  // "[" + the documents' descriptions in order, separated by ", " + "]".
  std::string ToString() const;

  // Equal documents at equal positions; comparators and indexes take no part.
  friend bool operator==(const DocumentSet& lhs, const DocumentSet& rhs);
  friend bool operator!=(const DocumentSet& lhs, const DocumentSet& rhs) { return !(lhs == rhs); }

 private:
  DocumentSet(DocumentMap&& index, SortedSetType&& sorted_set)
      : index_(std::move(index)), sorted_set_(std::move(sorted_set)) {}

  DocumentMap index_;
  SortedSetType sorted_set_;
};

std::ostream& operator<<(std::ostream& out, const DocumentSet& set);

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_DOCUMENT_SET_H_
