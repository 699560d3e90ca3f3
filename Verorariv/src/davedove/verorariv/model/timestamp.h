#ifndef DAVEDOVE_VERORARIV_MODEL_TIMESTAMP_H_
#define DAVEDOVE_VERORARIV_MODEL_TIMESTAMP_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <iosfwd>
#include <string>

namespace davedove {

// A point in time: seconds since the Unix epoch and a non-negative fraction of a second in
// nanoseconds, from 0001-01-01T00:00:00Z inclusive to 10000-01-01T00:00:00Z exclusive.
class Timestamp {
 public:
  // A system-clock time counted in microseconds.
  using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

  // The epoch: (0, 0).
  Timestamp() = default;
  // Stops the process when either value is out of range.
  Timestamp(int64_t seconds, int32_t nanoseconds);

  // The current time, to the microsecond.
  static Timestamp Now();
  static Timestamp FromTimePoint(TimePoint time_point);
  static Timestamp FromTimeT(std::time_t seconds_since_unix_epoch);

  int64_t seconds() const { return seconds_; }
  int32_t nanoseconds() const { return nanoseconds_; }

  // "Timestamp(seconds=<s>, nanoseconds=<n>)".
  std::string ToString() const;

  friend bool operator==(const Timestamp& lhs, const Timestamp& rhs) {
    return lhs.seconds_ == rhs.seconds_ && lhs.nanoseconds_ == rhs.nanoseconds_;
  }
  friend bool operator!=(const Timestamp& lhs, const Timestamp& rhs) { return !(lhs == rhs); }
  friend bool operator<(const Timestamp& lhs, const Timestamp& rhs) {
    return lhs.seconds_ < rhs.seconds_ ||
           (lhs.seconds_ == rhs.seconds_ && lhs.nanoseconds_ < rhs.nanoseconds_);
  }
  friend bool operator>(const Timestamp& lhs, const Timestamp& rhs) { return rhs < lhs; }
  friend bool operator<=(const Timestamp& lhs, const Timestamp& rhs) { return !(rhs < lhs); }
  friend bool operator>=(const Timestamp& lhs, const Timestamp& rhs) { return !(lhs < rhs); }

  friend std::ostream& operator<<(std::ostream& out, const Timestamp& timestamp);

 private:
  void ValidateBounds() const;

  int64_t seconds_ = 0;
  int32_t nanoseconds_ = 0;
};

}  // namespace davedove

namespace std {

// seconds * 37 + nanoseconds, modulo 2^64.
template <>
struct hash<davedove::Timestamp> {
  size_t operator()(const davedove::Timestamp& timestamp) const {
    return static_cast<size_t>(timestamp.seconds()) * 37 +
           static_cast<size_t>(timestamp.nanoseconds());
  }
};

}  // namespace std

#endif  // DAVEDOVE_VERORARIV_MODEL_TIMESTAMP_H_
