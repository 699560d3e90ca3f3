#include "davedove/verorariv/model/timestamp.h"

#include <ostream>

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {

Timestamp::Timestamp(int64_t seconds, int32_t nanoseconds)
    : seconds_(seconds), nanoseconds_(nanoseconds) {
  ValidateBounds();
}

Timestamp Timestamp::Now() {
  return FromTimePoint(
      std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()));
}

Timestamp Timestamp::FromTimePoint(TimePoint time_point) {
  namespace chr = std::chrono;
  const int64_t micros = time_point.time_since_epoch().count();
  // Floor division, so that times before the epoch keep a non-negative fraction.
  int64_t seconds = micros / 1000000;
  int64_t remainder = micros - seconds * 1000000;
  if (remainder < 0) {
    seconds -= 1;
    remainder += 1000000;
  }
  const chr::nanoseconds nanoseconds = chr::microseconds(remainder);
  HARD_ASSERT(nanoseconds.count() < 1 * 1000 * 1000 * 1000);
  return Timestamp(seconds, static_cast<int32_t>(nanoseconds.count()));
}

Timestamp Timestamp::FromTimeT(std::time_t seconds_since_unix_epoch) {
  return Timestamp(static_cast<int64_t>(seconds_since_unix_epoch), 0);
}

std::string Timestamp::ToString() const {
  return absl::StrCat("Timestamp(seconds=", seconds_, ", nanoseconds=", nanoseconds_, ")");
}

std::ostream& operator<<(std::ostream& out, const Timestamp& timestamp) {
  return out << timestamp.ToString();
}

void Timestamp::ValidateBounds() const {
  HARD_ASSERT(nanoseconds_ >= 0, "Timestamp nanoseconds out of range: %s", nanoseconds_);
  HARD_ASSERT(nanoseconds_ < 1e9, "Timestamp nanoseconds out of range: %s", nanoseconds_);
  // Midnight at the beginning of 1/1/1 is the earliest timestamp.
  HARD_ASSERT(seconds_ >= -62135596800L, "Timestamp seconds out of range: %s", seconds_);
  // Midnight at the beginning of 1/1/10000 is past the latest timestamp.
  HARD_ASSERT(seconds_ < 253402300800L, "Timestamp seconds out of range: %s", seconds_);
}

}  // namespace davedove
