#ifndef DAVEDOVE_VERORARIV_UTIL_COMPARISON_H_
#define DAVEDOVE_VERORARIV_UTIL_COMPARISON_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "absl/strings/string_view.h"

namespace davedove {
namespace verorariv {
namespace util {

// Result of a three-way comparison: the first value is smaller, the same, or larger.
enum class ComparisonResult {
  Ascending = -1,
  Same = 0,
  Descending = 1,
};

// Whether a sorts before b. Specialised for the types whose order the document database defines;
// any other type uses its operator<.
template <typename T>
struct Comparator : public std::less<T> {};

// Unsigned byte order; a prefix sorts before its extensions.
template <>
struct Comparator<absl::string_view> {
  bool operator()(absl::string_view left, absl::string_view right) const;
};

template <>
struct Comparator<std::string> {
  bool operator()(const std::string& left, const std::string& right) const;
};

// NaN first (equal to NaN), then the numbers; -0.0 and 0.0 are equal.
template <>
struct Comparator<double> {
  bool operator()(double left, double right) const;
};

// Three-way comparison made from Comparator<T>.
template <typename T>
ComparisonResult Compare(const T& left, const T& right) {
  Comparator<T> less_than;
  if (less_than(left, right)) return ComparisonResult::Ascending;
  if (less_than(right, left)) return ComparisonResult::Descending;
  return ComparisonResult::Same;
}

// Compares a double with a 64-bit integer exactly; NaN is below every integer.
ComparisonResult CompareMixedNumber(double double_value, int64_t long_value);

// The bits of a double, every NaN as the one canonical quiet NaN (0x7FF8000000000000).
uint64_t DoubleBits(double d);

// The very same double (0.0 and -0.0 differ; all NaNs are one).
bool DoubleBitwiseEquals(double left, double right);

// A hash consistent with DoubleBitwiseEquals.
size_t DoubleBitwiseHash(double d);

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_COMPARISON_H_
