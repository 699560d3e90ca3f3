#include "davedove/verorariv/model/document_key.h"

#include <functional>
#include <utility>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace model {

DocumentKey::DocumentKey(const ResourcePath& path)
    : path_(std::make_shared<const ResourcePath>(path)) {
  AssertValidPath(*path_);
}

DocumentKey::DocumentKey(ResourcePath&& path)
    : path_(std::make_shared<const ResourcePath>(std::move(path))) {
  AssertValidPath(*path_);
}

DocumentKey DocumentKey::FromPathString(absl::string_view path) {
  return DocumentKey{ResourcePath::FromString(path)};
}

DocumentKey DocumentKey::FromSegments(std::initializer_list<std::string> list) {
  return DocumentKey{ResourcePath{list}};
}

const DocumentKey& DocumentKey::Empty() {
  static const DocumentKey empty{ResourcePath{}};
  return empty;
}

const ResourcePath& DocumentKey::path() const {
  static const ResourcePath* empty_path = new ResourcePath();
  return path_ ? *path_ : *empty_path;
}

size_t DocumentKey::Hash() const { return std::hash<std::string>{}(path().CanonicalString()); }

void DocumentKey::AssertValidPath(const ResourcePath& path) {
  HARD_ASSERT(IsDocumentKey(path), "invalid document key path: %s", path.CanonicalString());
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
