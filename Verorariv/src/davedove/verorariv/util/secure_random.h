#ifndef DAVEDOVE_VERORARIV_UTIL_SECURE_RANDOM_H_
#define DAVEDOVE_VERORARIV_UTIL_SECURE_RANDOM_H_

#include <cstdint>
#include <limits>

namespace davedove {
namespace verorariv {
namespace util {

// Uniform 32-bit values from the system's cryptographically secure generator. Usable as a
// UniformRandomBitGenerator.
class SecureRandom {
 public:
  using result_type = uint32_t;

  static constexpr result_type min() { return std::numeric_limits<result_type>::min(); }
  static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

  result_type operator()();
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_SECURE_RANDOM_H_
