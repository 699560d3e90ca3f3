#ifndef DAVEDOVE_VERORARIV_CORE_VIEW_SNAPSHOT_H_
#define DAVEDOVE_VERORARIV_CORE_VIEW_SNAPSHOT_H_

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/model/VRVDocument.h"

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

// A query's result at one moment; the local store reads its document changes, in order.
class ViewSnapshot {
 public:
  explicit ViewSnapshot(std::vector<DocumentViewChange> document_changes)
      : document_changes_(std::move(document_changes)) {}

  const std::vector<DocumentViewChange>& document_changes() const { return document_changes_; }

 private:
  std::vector<DocumentViewChange> document_changes_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_VIEW_SNAPSHOT_H_
