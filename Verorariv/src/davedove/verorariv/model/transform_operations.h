#ifndef DAVEDOVE_VERORARIV_MODEL_TRANSFORM_OPERATIONS_H_
#define DAVEDOVE_VERORARIV_MODEL_TRANSFORM_OPERATIONS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "davedove/verorariv/model/DAVTimestamp.h"
#include "davedove/verorariv/model/VRVFieldValue.h"

namespace davedove {
namespace verorariv {
namespace model {

// A server-computed change of one field. Immutable; shared by the field transforms that use it.
class TransformOperation {
 public:
  enum class Type : int32_t {
    ServerTimestamp = 0,
    ArrayUnion = 1,
    ArrayRemove = 2,
    Increment = 3,
  };

  virtual ~TransformOperation() = default;

  virtual Type type() const = 0;
  // The value the field takes in the local view; `previous_value` may be null.
  virtual FieldValuePtr ApplyLocal(const FieldValuePtr& previous_value,
                                   const DAVTimestamp& local_write_time) const = 0;
  // The value the field takes once the server's result is known.
  virtual FieldValuePtr ApplyServer(const FieldValuePtr& previous_value,
                                    const FieldValuePtr& transform_result) const = 0;
  // Whether applying the operation twice gives the same result as once.
  virtual bool idempotent() const = 0;
  virtual bool operator==(const TransformOperation& other) const = 0;
  bool operator!=(const TransformOperation& other) const { return !(*this == other); }
  virtual size_t Hash() const = 0;
};

// Sets the field to the server's commit time.
class ServerTimestampTransform : public TransformOperation {
 public:
  // The one shared instance.
  static const std::shared_ptr<const ServerTimestampTransform>& Get();

  Type type() const override { return Type::ServerTimestamp; }
  // A pending server timestamp that remembers the previous value.
  FieldValuePtr ApplyLocal(const FieldValuePtr& previous_value,
                           const DAVTimestamp& local_write_time) const override;
  FieldValuePtr ApplyServer(const FieldValuePtr& previous_value,
                            const FieldValuePtr& transform_result) const override;
  bool idempotent() const override { return true; }
  bool operator==(const TransformOperation& other) const override;
  // 37.
  size_t Hash() const override;
};

// Adds elements not yet present (union) or removes every equal element (remove).
class ArrayTransform : public TransformOperation {
 public:
  ArrayTransform(Type type, std::vector<FieldValuePtr> elements);

  // The elements of an array union or remove operation.
  static const std::vector<FieldValuePtr>& Elements(const TransformOperation& op);

  const std::vector<FieldValuePtr>& elements() const { return elements_; }

  Type type() const override { return type_; }
  FieldValuePtr ApplyLocal(const FieldValuePtr& previous_value,
                           const DAVTimestamp& local_write_time) const override;
  // The server's result is not used: the transform is replayed on the document.
  FieldValuePtr ApplyServer(const FieldValuePtr& previous_value,
                            const FieldValuePtr& transform_result) const override;
  bool idempotent() const override { return true; }
  bool operator==(const TransformOperation& other) const override;
  size_t Hash() const override;

  // The previous elements (none unless an array value) with this transform applied.
  ArrayValuePtr Apply(const FieldValuePtr& previous_value) const;

 private:
  Type type_;
  std::vector<FieldValuePtr> elements_;
};

// Adds a number to the field, saturating at the 64-bit integer limits.
class NumericIncrementTransform : public TransformOperation {
 public:
  // `operand` is an integer or double value.
  explicit NumericIncrementTransform(FieldValuePtr operand);

  const FieldValuePtr& operand() const { return operand_; }
  // The operand as a double.
  double OperandAsDouble() const;

  Type type() const override { return Type::Increment; }
  FieldValuePtr ApplyLocal(const FieldValuePtr& previous_value,
                           const DAVTimestamp& local_write_time) const override;
  FieldValuePtr ApplyServer(const FieldValuePtr& previous_value,
                            const FieldValuePtr& transform_result) const override;
  bool idempotent() const override { return false; }
  bool operator==(const TransformOperation& other) const override;
  size_t Hash() const override;

 private:
  FieldValuePtr operand_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_TRANSFORM_OPERATIONS_H_
