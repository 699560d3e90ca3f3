#ifndef DAVEDOVE_VERORARIV_MODEL_PRECONDITION_H_
#define DAVEDOVE_VERORARIV_MODEL_PRECONDITION_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace model {

// The condition a write places on the stored document.
class Precondition {
 public:
  enum class Type : int32_t {
    None = 0,
    Exists = 1,
    UpdateTime = 2,
  };

  static Precondition None() { return Precondition(Type::None, SnapshotVersion::None(), false); }
  static Precondition Exists(bool exists) {
    return Precondition(Type::Exists, SnapshotVersion::None(), exists);
  }
  static Precondition UpdateTime(const SnapshotVersion& update_time) {
    return Precondition(Type::UpdateTime, update_time, false);
  }

  Type type() const { return type_; }
  const SnapshotVersion& update_time() const { return update_time_; }
  bool exists() const { return exists_; }
  bool IsNone() const { return type_ == Type::None; }

  // Whether the document (null for none) meets the condition.
  bool IsValidFor(const VRVMaybeDocument* maybe_doc) const;
  bool IsValidFor(const MaybeDocumentPtr& maybe_doc) const { return IsValidFor(maybe_doc.get()); }

  // 31 * (31 * update-time hash + exists) + type.
  size_t Hash() const;
  std::string ToString() const;

  friend bool operator==(const Precondition& lhs, const Precondition& rhs) {
    return lhs.type_ == rhs.type_ && lhs.update_time_ == rhs.update_time_ &&
           lhs.exists_ == rhs.exists_;
  }
  friend bool operator!=(const Precondition& lhs, const Precondition& rhs) { return !(lhs == rhs); }

 private:
  Precondition(Type type, const SnapshotVersion& update_time, bool exists)
      : type_(type), update_time_(update_time), exists_(exists) {}

  Type type_;
  SnapshotVersion update_time_;
  bool exists_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_PRECONDITION_H_
