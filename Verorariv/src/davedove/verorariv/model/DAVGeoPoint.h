#ifndef DAVEDOVE_VERORARIV_MODEL_DAVGEOPOINT_H_
#define DAVEDOVE_VERORARIV_MODEL_DAVGEOPOINT_H_

#include <cstddef>
#include <string>

#include "davedove/verorariv/util/comparison.h"

// The public geo point: an immutable latitude and longitude.
class DAVGeoPoint {
 public:
  DAVGeoPoint(double latitude, double longitude) : latitude_(latitude), longitude_(longitude) {}

  double latitude() const { return latitude_; }
  double longitude() const { return longitude_; }

  // Latitude, then longitude, each in the document database's double order (NaN first).
  davedove::verorariv::util::ComparisonResult compare(const DAVGeoPoint& other) const;
  // 31 * DoubleBitwiseHash(latitude) + DoubleBitwiseHash(longitude).
  size_t Hash() const;
  std::string ToString() const;

  // Bitwise equality of both coordinates, all NaNs alike.
  friend bool operator==(const DAVGeoPoint& lhs, const DAVGeoPoint& rhs);
  friend bool operator!=(const DAVGeoPoint& lhs, const DAVGeoPoint& rhs) { return !(lhs == rhs); }

 private:
  double latitude_;
  double longitude_;
};

namespace davedove {
namespace verorariv {
namespace model {
using ::DAVGeoPoint;
}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_DAVGEOPOINT_H_
