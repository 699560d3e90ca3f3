#ifndef DAVEDOVE_VERORARIV_MODEL_DAVTIMESTAMP_H_
#define DAVEDOVE_VERORARIV_MODEL_DAVTIMESTAMP_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "davedove/verorariv/model/timestamp.h"
#include "davedove/verorariv/util/comparison.h"
#include "platform/foundation/Value.h"

// The public timestamp: an immutable value over the internal Timestamp, with the public type's
// own hash, order result and date conversion.
class DAVTimestamp {
 public:
  // Raises DAVInvalidArgumentException when a value is out of the Timestamp range (years 1 to
  // 9999, nanoseconds from 0 to 999999999).
  DAVTimestamp(int64_t seconds, int32_t nanoseconds);
  explicit DAVTimestamp(const davedove::Timestamp& timestamp) : timestamp_(timestamp) {}

  static DAVTimestamp timestampWithSeconds(int64_t seconds, int32_t nanoseconds);
  // The current time.
  static DAVTimestamp timestamp();

  int64_t seconds() const { return timestamp_.seconds(); }
  int32_t nanoseconds() const { return timestamp_.nanoseconds(); }
  const davedove::Timestamp& internalValue() const { return timestamp_; }

  bool isEqualToTimestamp(const DAVTimestamp& other) const {
    return timestamp_ == other.timestamp_;
  }
  // By seconds, then by nanoseconds.
  davedove::verorariv::util::ComparisonResult compare(const DAVTimestamp& other) const;
  // seconds ^ (seconds >> 32) ^ nanoseconds.
  size_t Hash() const;
  // The platform date seconds + nanoseconds / 1e9 after the epoch.
  platform::Date dateValue() const;
  std::string ToString() const;

  friend bool operator==(const DAVTimestamp& lhs, const DAVTimestamp& rhs) {
    return lhs.isEqualToTimestamp(rhs);
  }
  friend bool operator!=(const DAVTimestamp& lhs, const DAVTimestamp& rhs) { return !(lhs == rhs); }

 private:
  davedove::Timestamp timestamp_;
};

namespace davedove {
namespace verorariv {
namespace model {
using ::DAVTimestamp;
}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_DAVTIMESTAMP_H_
