#include "davedove/verorariv/util/comparison.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace davedove {
namespace verorariv {
namespace util {

bool Comparator<absl::string_view>::operator()(absl::string_view left,
                                               absl::string_view right) const {
  size_t common = std::min(left.size(), right.size());
  int cmp = common == 0 ? 0 : std::memcmp(left.data(), right.data(), common);
  if (cmp != 0) return cmp < 0;
  return left.size() < right.size();
}

bool Comparator<std::string>::operator()(const std::string& left, const std::string& right) const {
  return Comparator<absl::string_view>()(left, right);
}

bool Comparator<double>::operator()(double left, double right) const {
  if (std::isnan(left)) return !std::isnan(right);
  return left < right;
}

ComparisonResult CompareMixedNumber(double double_value, int64_t long_value) {
  // Outside the range of int64_t the double decides on its own.
  if (double_value < -9223372036854775808.0) return ComparisonResult::Ascending;
  if (double_value >= 9223372036854775808.0) return ComparisonResult::Descending;
  if (std::isnan(double_value)) return ComparisonResult::Ascending;

  auto truncated = static_cast<int64_t>(double_value);
  if (truncated != long_value) {
    return truncated > long_value ? ComparisonResult::Descending : ComparisonResult::Ascending;
  }
  // Same integer part: only the fraction can differ.
  auto as_double = static_cast<double>(long_value);
  if (double_value < as_double) return ComparisonResult::Ascending;
  if (double_value > as_double) return ComparisonResult::Descending;
  return ComparisonResult::Same;
}

uint64_t DoubleBits(double d) {
  if (std::isnan(d)) return UINT64_C(0x7FF8000000000000);
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

bool DoubleBitwiseEquals(double left, double right) { return DoubleBits(left) == DoubleBits(right); }

size_t DoubleBitwiseHash(double d) {
  uint64_t bits = DoubleBits(d);
  return static_cast<size_t>(bits ^ (bits >> 32));
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
