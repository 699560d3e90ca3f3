#ifndef DAVEDOVE_VERORARIV_UTIL_AUTOID_H_
#define DAVEDOVE_VERORARIV_UTIL_AUTOID_H_

#include <string>

namespace davedove {
namespace verorariv {
namespace util {

// A new document id: 20 characters drawn uniformly from upper-case letters, lower-case letters and
// digits.
std::string CreateAutoId();

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_AUTOID_H_
