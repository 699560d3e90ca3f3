#ifndef DAVEDOVE_VERORARIV_API_DAVFIELDPATH_H_
#define DAVEDOVE_VERORARIV_API_DAVFIELDPATH_H_

#include <string>
#include <vector>

#include "davedove/verorariv/model/field_path.h"

// A path to a field inside a document, given segment by segment so that a segment may hold dots.
class DAVFieldPath {
 public:
  // Raises DAVInvalidArgumentException for no segments or an empty segment.
  explicit DAVFieldPath(const std::vector<std::string>& fieldNames);

  // The path that names a document's id (its key).
  static DAVFieldPath documentID();
  // "a.b.c" as three segments; raises DAVInvalidArgumentException for an empty segment or a
  // character that a field path cannot hold ("~*/[]").
  static DAVFieldPath pathWithDotSeparatedString(const std::string& path);

  const davedove::verorariv::model::FieldPath& internalValue() const { return internalValue_; }

  friend bool operator==(const DAVFieldPath& lhs, const DAVFieldPath& rhs) {
    return lhs.internalValue_ == rhs.internalValue_;
  }

 private:
  explicit DAVFieldPath(davedove::verorariv::model::FieldPath path)
      : internalValue_(std::move(path)) {}

  davedove::verorariv::model::FieldPath internalValue_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVFIELDPATH_H_
