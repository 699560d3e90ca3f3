#include "davedove/verorariv/model/transform_operations.h"

#include <algorithm>
#include <cstdint>
#include <typeinfo>
#include <limits>
#include <string>
#include <utility>

#include "davedove/verorariv/model/model_assert.h"

namespace davedove {
namespace verorariv {
namespace model {

namespace {

const char* NumberClassName(const VRVFieldValue* value) {
  if (value == nullptr) return "nil";
  if (dynamic_cast<const VRVIntegerValue*>(value)) return "VRVIntegerValue";
  if (dynamic_cast<const VRVDoubleValue*>(value)) return "VRVDoubleValue";
  switch (value->typeOrder()) {
    case VRVTypeOrder::Null:
      return "VRVNullValue";
    case VRVTypeOrder::Boolean:
      return "VRVBooleanValue";
    case VRVTypeOrder::Number:
      return "VRVNumberValue";
    case VRVTypeOrder::Timestamp:
      return dynamic_cast<const VRVServerTimestampValue*>(value) ? "VRVServerTimestampValue"
                                                                 : "VRVTimestampValue";
    case VRVTypeOrder::String:
      return "VRVStringValue";
    case VRVTypeOrder::Blob:
      return "VRVBlobValue";
    case VRVTypeOrder::Reference:
      return "VRVReferenceValue";
    case VRVTypeOrder::GeoPoint:
      return "VRVGeoPointValue";
    case VRVTypeOrder::Array:
      return "VRVArrayValue";
    case VRVTypeOrder::Object:
      return "VRVObjectValue";
  }
  return "VRVFieldValue";
}

// The exact sum, or the nearest 64-bit limit when it does not fit.
int64_t SaturatingAdd(int64_t lhs, int64_t rhs) {
  int64_t sum;
  if (__builtin_add_overflow(lhs, rhs, &sum)) {
    return rhs > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return sum;
}

}  // namespace

// ServerTimestampTransform

const std::shared_ptr<const ServerTimestampTransform>& ServerTimestampTransform::Get() {
  static const auto* shared = new std::shared_ptr<const ServerTimestampTransform>(
      std::make_shared<const ServerTimestampTransform>());
  return *shared;
}

FieldValuePtr ServerTimestampTransform::ApplyLocal(const FieldValuePtr& previous_value,
                                                   const DAVTimestamp& local_write_time) const {
  return VRVServerTimestampValue::serverTimestampValueWithLocalWriteTime(local_write_time,
                                                                         previous_value);
}

FieldValuePtr ServerTimestampTransform::ApplyServer(const FieldValuePtr&,
                                                    const FieldValuePtr& transform_result) const {
  return transform_result;
}

bool ServerTimestampTransform::operator==(const TransformOperation& other) const {
  return other.type() == Type::ServerTimestamp;
}

size_t ServerTimestampTransform::Hash() const { return 37; }

// ArrayTransform

ArrayTransform::ArrayTransform(Type type, std::vector<FieldValuePtr> elements)
    : type_(type), elements_(std::move(elements)) {}

const std::vector<FieldValuePtr>& ArrayTransform::Elements(const TransformOperation& op) {
  MODEL_ASSERT(op.type() == Type::ArrayUnion || op.type() == Type::ArrayRemove,
               "op.type() == Type::ArrayUnion || op.type() == Type::ArrayRemove");
  return static_cast<const ArrayTransform&>(op).elements_;
}

FieldValuePtr ArrayTransform::ApplyLocal(const FieldValuePtr& previous_value,
                                         const DAVTimestamp&) const {
  return Apply(previous_value);
}

FieldValuePtr ArrayTransform::ApplyServer(const FieldValuePtr& previous_value,
                                          const FieldValuePtr&) const {
  return Apply(previous_value);
}

ArrayValuePtr ArrayTransform::Apply(const FieldValuePtr& previous_value) const {
  std::vector<FieldValuePtr> result;
  if (previous_value && typeid(*previous_value) == typeid(VRVArrayValue)) {
    result = static_cast<const VRVArrayValue&>(*previous_value).internalValue();
  }
  for (const FieldValuePtr& element : elements_) {
    auto equal_to_element = [&element](const FieldValuePtr& existing) {
      return FieldValueEquals(existing, element);
    };
    if (type_ == Type::ArrayUnion) {
      if (std::find_if(result.begin(), result.end(), equal_to_element) == result.end()) {
        result.push_back(element);
      }
    } else {
      MODEL_ASSERT(type_ == Type::ArrayRemove, "type_ == Type::ArrayRemove");
      result.erase(std::remove_if(result.begin(), result.end(), equal_to_element), result.end());
    }
  }
  return VRVArrayValue::arrayValue(std::move(result));
}

bool ArrayTransform::operator==(const TransformOperation& other) const {
  if (other.type() != type_) return false;
  const auto& theirs = static_cast<const ArrayTransform&>(other).elements_;
  if (theirs.size() != elements_.size()) return false;
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (!FieldValueEquals(elements_[i], theirs[i])) return false;
  }
  return true;
}

size_t ArrayTransform::Hash() const {
  size_t result = 31 * 37 + (type_ == Type::ArrayUnion ? 1231 : 1237);
  for (const FieldValuePtr& element : elements_) result = 31 * result + element->Hash();
  return result;
}

// NumericIncrementTransform

NumericIncrementTransform::NumericIncrementTransform(FieldValuePtr operand)
    : operand_(std::move(operand)) {}

double NumericIncrementTransform::OperandAsDouble() const {
  if (auto number = dynamic_cast<const VRVDoubleValue*>(operand_.get())) {
    return number->internalValue();
  }
  auto integer = dynamic_cast<const VRVIntegerValue*>(operand_.get());
  MODEL_ASSERT(integer != nullptr, "[operand isKindOfClass:[VRVNumberValue class]]",
               "Expected 'operand' to be of VRVNumerValue type, but was %s",
               NumberClassName(operand_.get()));
  return static_cast<double>(integer->internalValue());
}

FieldValuePtr NumericIncrementTransform::ApplyLocal(const FieldValuePtr& previous_value,
                                                    const DAVTimestamp&) const {
  auto previous_integer = dynamic_cast<const VRVIntegerValue*>(previous_value.get());
  if (previous_integer) {
    if (auto operand_integer = dynamic_cast<const VRVIntegerValue*>(operand_.get())) {
      return VRVIntegerValue::integerValue(
          SaturatingAdd(previous_integer->internalValue(), operand_integer->internalValue()));
    }
    if (auto operand_double = dynamic_cast<const VRVDoubleValue*>(operand_.get())) {
      return VRVDoubleValue::doubleValue(static_cast<double>(previous_integer->internalValue()) +
                                         operand_double->internalValue());
    }
  }
  if (auto previous_double = dynamic_cast<const VRVDoubleValue*>(previous_value.get())) {
    return VRVDoubleValue::doubleValue(previous_double->internalValue() + OperandAsDouble());
  }
  if (previous_integer) {
    // An operand that is no number: the same failure as reading it as a double.
    OperandAsDouble();
  }
  return operand_;
}

FieldValuePtr NumericIncrementTransform::ApplyServer(const FieldValuePtr&,
                                                     const FieldValuePtr& transform_result) const {
  return transform_result;
}

bool NumericIncrementTransform::operator==(const TransformOperation& other) const {
  if (other.type() != Type::Increment) return false;
  return FieldValueEquals(operand_, static_cast<const NumericIncrementTransform&>(other).operand_);
}

size_t NumericIncrementTransform::Hash() const {
  return (operand_ ? operand_->Hash() : 0) + 31 * 37;
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
