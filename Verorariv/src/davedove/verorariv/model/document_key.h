#ifndef DAVEDOVE_VERORARIV_MODEL_DOCUMENT_KEY_H_
#define DAVEDOVE_VERORARIV_MODEL_DOCUMENT_KEY_H_

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>

#include "davedove/verorariv/model/resource_path.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace model {

// The name of a document: a resource path with an even number of segments. Copies share one
// immutable path object.
class DocumentKey {
 public:
  DocumentKey() = default;
  explicit DocumentKey(const ResourcePath& path);
  explicit DocumentKey(ResourcePath&& path);

  // Parses `path` as a resource path; it must name a document.
  static DocumentKey FromPathString(absl::string_view path);
  static DocumentKey FromSegments(std::initializer_list<std::string> list);

  // The shared key of the empty path.
  static const DocumentKey& Empty();

  // Whether `path` has an even number of segments.
  static bool IsDocumentKey(const ResourcePath& path) { return path.size() % 2 == 0; }

  const ResourcePath& path() const;

  std::string ToString() const { return path().CanonicalString(); }

  // Standard string hash of the canonical string: the object hash used by documents, mutations
  // and key wrappers.
  size_t Hash() const;

  friend bool operator==(const DocumentKey& lhs, const DocumentKey& rhs) {
    return lhs.path() == rhs.path();
  }
  friend bool operator!=(const DocumentKey& lhs, const DocumentKey& rhs) { return !(lhs == rhs); }
  friend bool operator<(const DocumentKey& lhs, const DocumentKey& rhs) {
    return lhs.path() < rhs.path();
  }
  friend bool operator>(const DocumentKey& lhs, const DocumentKey& rhs) { return rhs < lhs; }
  friend bool operator<=(const DocumentKey& lhs, const DocumentKey& rhs) { return !(rhs < lhs); }
  friend bool operator>=(const DocumentKey& lhs, const DocumentKey& rhs) { return !(lhs < rhs); }

 private:
  static void AssertValidPath(const ResourcePath& path);

  // Null reads as the empty path.
  std::shared_ptr<const ResourcePath> path_;
};

// Hash of the key's path (segment hashes combined as 31 * h + next, then the segment count), for
// hashed containers keyed by document key.
struct DocumentKeyHash {
  size_t operator()(const DocumentKey& key) const { return key.path().Hash(); }
};

}  // namespace model

namespace util {

template <>
struct Comparator<model::DocumentKey> {
  bool operator()(const model::DocumentKey& lhs, const model::DocumentKey& rhs) const {
    return lhs < rhs;
  }
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_DOCUMENT_KEY_H_
