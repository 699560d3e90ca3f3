#include "davedove/verorariv/model/DAVGeoPoint.h"

#include "absl/strings/str_cat.h"

namespace util = davedove::verorariv::util;

util::ComparisonResult DAVGeoPoint::compare(const DAVGeoPoint& other) const {
  util::ComparisonResult result = util::Compare<double>(latitude_, other.latitude_);
  if (result != util::ComparisonResult::Same) return result;
  return util::Compare<double>(longitude_, other.longitude_);
}

size_t DAVGeoPoint::Hash() const {
  return 31 * util::DoubleBitwiseHash(latitude_) + util::DoubleBitwiseHash(longitude_);
}

std::string DAVGeoPoint::ToString() const {
  return absl::StrCat("<DAVGeoPoint: (", latitude_, ", ", longitude_, ")>");
}

bool operator==(const DAVGeoPoint& lhs, const DAVGeoPoint& rhs) {
  return util::DoubleBitwiseEquals(lhs.latitude_, rhs.latitude_) &&
         util::DoubleBitwiseEquals(lhs.longitude_, rhs.longitude_);
}
