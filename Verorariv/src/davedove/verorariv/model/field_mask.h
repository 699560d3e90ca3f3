#ifndef DAVEDOVE_VERORARIV_MODEL_FIELD_MASK_H_
#define DAVEDOVE_VERORARIV_MODEL_FIELD_MASK_H_

#include <cstddef>
#include <initializer_list>
#include <set>
#include <string>
#include <utility>

#include "davedove/verorariv/model/field_path.h"

namespace davedove {
namespace verorariv {
namespace model {

// The fields a write touches: an ordered set of field paths, in path order, without duplicates.
class FieldMask {
 public:
  using const_iterator = std::set<FieldPath>::const_iterator;

  FieldMask() = default;
  FieldMask(std::initializer_list<FieldPath> list) : fields_(list) {}
  template <typename IterT>
  FieldMask(IterT begin, IterT end) : fields_(begin, end) {}
  explicit FieldMask(std::set<FieldPath> fields) : fields_(std::move(fields)) {}

  const_iterator begin() const { return fields_.begin(); }
  const_iterator end() const { return fields_.end(); }
  size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }

  // h = 31 * h + path hash for each path, then 31 * h + the number of paths.
  size_t Hash() const {
    size_t result = 0;
    for (const FieldPath& path : fields_) {
      result = 31 * result + path.Hash();
    }
    return 31 * result + fields_.size();
  }

  // "{ " then each path's canonical string and a space, then "}".
  std::string ToString() const {
    std::string text = "{ ";
    for (const FieldPath& path : fields_) {
      text += path.CanonicalString();
      text += " ";
    }
    text += "}";
    return text;
  }

  friend bool operator==(const FieldMask& lhs, const FieldMask& rhs) {
    return lhs.fields_ == rhs.fields_;
  }
  friend bool operator!=(const FieldMask& lhs, const FieldMask& rhs) { return !(lhs == rhs); }

 private:
  std::set<FieldPath> fields_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_FIELD_MASK_H_
