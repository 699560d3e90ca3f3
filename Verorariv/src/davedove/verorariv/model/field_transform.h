#ifndef DAVEDOVE_VERORARIV_MODEL_FIELD_TRANSFORM_H_
#define DAVEDOVE_VERORARIV_MODEL_FIELD_TRANSFORM_H_

#include <memory>
#include <utility>

#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/model/transform_operations.h"

namespace davedove {
namespace verorariv {
namespace model {

// A transform operation on one field; copies share the operation.
class FieldTransform {
 public:
  FieldTransform(FieldPath path, std::shared_ptr<const TransformOperation> transformation)
      : path_(std::move(path)), transformation_(std::move(transformation)) {}

  const FieldPath& path() const { return path_; }
  const TransformOperation& transformation() const { return *transformation_; }
  const std::shared_ptr<const TransformOperation>& transformation_ptr() const {
    return transformation_;
  }
  bool idempotent() const { return transformation_->idempotent(); }

  friend bool operator==(const FieldTransform& lhs, const FieldTransform& rhs) {
    return lhs.path_ == rhs.path_ && *lhs.transformation_ == *rhs.transformation_;
  }
  friend bool operator!=(const FieldTransform& lhs, const FieldTransform& rhs) {
    return !(lhs == rhs);
  }

 private:
  FieldPath path_;
  std::shared_ptr<const TransformOperation> transformation_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_FIELD_TRANSFORM_H_
