#ifndef DAVEDOVE_VERORARIV_MODEL_SNAPSHOT_VERSION_H_
#define DAVEDOVE_VERORARIV_MODEL_SNAPSHOT_VERSION_H_

#include <iosfwd>
#include <string>

#include "davedove/verorariv/model/timestamp.h"

namespace davedove {
namespace verorariv {
namespace model {

// The version of a document or of a server snapshot.
class SnapshotVersion {
 public:
  explicit SnapshotVersion(const Timestamp& timestamp) : timestamp_(timestamp) {}

  // The version (0, 0): no version at all.
  static const SnapshotVersion& None();

  const Timestamp& timestamp() const { return timestamp_; }

  std::string ToString() const;

  friend bool operator==(const SnapshotVersion& lhs, const SnapshotVersion& rhs) {
    return lhs.timestamp_ == rhs.timestamp_;
  }
  friend bool operator!=(const SnapshotVersion& lhs, const SnapshotVersion& rhs) {
    return !(lhs == rhs);
  }
  friend bool operator<(const SnapshotVersion& lhs, const SnapshotVersion& rhs) {
    return lhs.timestamp_ < rhs.timestamp_;
  }
  friend bool operator>(const SnapshotVersion& lhs, const SnapshotVersion& rhs) {
    return rhs < lhs;
  }
  friend bool operator<=(const SnapshotVersion& lhs, const SnapshotVersion& rhs) {
    return !(rhs < lhs);
  }
  friend bool operator>=(const SnapshotVersion& lhs, const SnapshotVersion& rhs) {
    return !(lhs < rhs);
  }

  friend std::ostream& operator<<(std::ostream& out, const SnapshotVersion& version);

 private:
  Timestamp timestamp_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_SNAPSHOT_VERSION_H_
