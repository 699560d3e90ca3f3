#include "davedove/verorariv/util/secure_random.h"

#include <cstdlib>

namespace davedove {
namespace verorariv {
namespace util {

SecureRandom::result_type SecureRandom::operator()() { return ::arc4random(); }

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
