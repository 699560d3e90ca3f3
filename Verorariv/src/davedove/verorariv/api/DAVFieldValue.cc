#include "davedove/verorariv/api/DAVFieldValue.h"

std::shared_ptr<const DAVFieldValue> DAVFieldValue::fieldValueForDelete() {
  static const auto* sentinel = new std::shared_ptr<const DAVFieldValue>(
      std::make_shared<const DAVFieldValue>(Kind::Delete, DAVValue::Array{}));
  return *sentinel;
}

std::shared_ptr<const DAVFieldValue> DAVFieldValue::fieldValueForServerTimestamp() {
  static const auto* sentinel = new std::shared_ptr<const DAVFieldValue>(
      std::make_shared<const DAVFieldValue>(Kind::ServerTimestamp, DAVValue::Array{}));
  return *sentinel;
}

std::shared_ptr<const DAVFieldValue> DAVFieldValue::fieldValueForArrayUnion(
    DAVValue::Array elements) {
  return std::make_shared<const DAVFieldValue>(Kind::ArrayUnion, std::move(elements));
}

std::shared_ptr<const DAVFieldValue> DAVFieldValue::fieldValueForArrayRemove(
    DAVValue::Array elements) {
  return std::make_shared<const DAVFieldValue>(Kind::ArrayRemove, std::move(elements));
}
