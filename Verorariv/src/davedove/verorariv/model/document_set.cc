#include "davedove/verorariv/model/document_set.h"

#include <ostream>

namespace davedove {
namespace verorariv {
namespace model {

DocumentSet::DocumentSet(DocumentCompareCallback comparator)
    : index_(), sorted_set_(DocumentSetComparator(std::move(comparator))) {}

DocumentPtr DocumentSet::GetDocument(const DocumentKey& key) const {
  auto found = index_.find(key);
  if (found == index_.end()) return nullptr;
  return std::static_pointer_cast<const VRVDocument>(found->second);
}

DocumentSet::size_type DocumentSet::IndexOf(const DocumentKey& key) const {
  DocumentPtr document = GetDocument(key);
  if (!document) return npos;
  return sorted_set_.find_index(document);
}

DocumentPtr DocumentSet::GetFirstDocument() const {
  if (sorted_set_.empty()) return nullptr;
  return *sorted_set_.min();
}

DocumentPtr DocumentSet::GetLastDocument() const {
  if (sorted_set_.empty()) return nullptr;
  return *sorted_set_.max();
}

DocumentSet DocumentSet::insert(const DocumentPtr& document) const {
  if (!document) return *this;
  // Removing first lets a new version replace the old one even when it sorts elsewhere.
  DocumentSet removed = erase(document->key());
  return DocumentSet(removed.index_.insert(document->key(), document),
                     removed.sorted_set_.insert(document));
}

DocumentSet DocumentSet::erase(const DocumentKey& key) const {
  DocumentPtr document = GetDocument(key);
  if (!document) return *this;
  return DocumentSet(index_.erase(key), sorted_set_.erase(document));
}

size_t DocumentSet::Hash() const {
  size_t result = 0;
  for (const DocumentPtr& document : sorted_set_) {
    result = 31 * result + document->Hash();
  }
  return result;
}

std::string DocumentSet::ToString() const {
  std::string text = "[";
  bool first = true;
  for (const DocumentPtr& document : sorted_set_) {
    if (!first) text += ", ";
    first = false;
    text += document->ToString();
  }
  text += "]";
  return text;
}

bool operator==(const DocumentSet& lhs, const DocumentSet& rhs) {
  if (lhs.size() != rhs.size()) return false;
  auto theirs = rhs.sorted_set_.begin();
  for (const DocumentPtr& mine : lhs.sorted_set_) {
    if (!mine->isEqual(**theirs)) return false;
    ++theirs;
  }
  return true;
}

std::ostream& operator<<(std::ostream& out, const DocumentSet& set) {
  return out << set.ToString();
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
