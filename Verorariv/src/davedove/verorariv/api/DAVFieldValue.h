#ifndef DAVEDOVE_VERORARIV_API_DAVFIELDVALUE_H_
#define DAVEDOVE_VERORARIV_API_DAVFIELDVALUE_H_

#include <memory>

#include "davedove/verorariv/api/DAVValue.h"

// A sentinel that, as a field's value in a write, asks for a change computed from the stored value
// rather than a plain value. Immutable.
class DAVFieldValue {
 public:
  enum class Kind { Delete, ServerTimestamp, ArrayUnion, ArrayRemove };

  // Removes the field (only in updates and merging sets).
  static std::shared_ptr<const DAVFieldValue> fieldValueForDelete();
  // The server's time of the commit.
  static std::shared_ptr<const DAVFieldValue> fieldValueForServerTimestamp();
  // Adds each element the stored array does not hold yet; makes the array when the field is
  // missing or not an array.
  static std::shared_ptr<const DAVFieldValue> fieldValueForArrayUnion(DAVValue::Array elements);
  // Removes every occurrence of each element from the stored array.
  static std::shared_ptr<const DAVFieldValue> fieldValueForArrayRemove(DAVValue::Array elements);

  DAVFieldValue(Kind kind, DAVValue::Array elements)
      : kind_(kind), elements_(std::move(elements)) {}

  Kind kind() const { return kind_; }
  // The elements of an array union or remove.
  const DAVValue::Array& elements() const { return elements_; }

  friend bool operator==(const DAVFieldValue& lhs, const DAVFieldValue& rhs) {
    return lhs.kind_ == rhs.kind_ && lhs.elements_ == rhs.elements_;
  }

 private:
  Kind kind_;
  DAVValue::Array elements_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVFIELDVALUE_H_
