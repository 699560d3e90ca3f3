#include "davedove/verorariv/immutable/VRVImmutableSortedDictionary.h"

#include <string>

#include "davedove/verorariv/immutable/VRVLLRBNode.h"
#include "davedove/verorariv/immutable/VRVLLRBValueNode.h"
#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace immutable {

std::string VRVLLRBColorDescription(VRVLLRBColor color) {
  switch (color) {
    case VRVLLRBColorRed:
      return "red";
    case VRVLLRBColorBlack:
      return "black";
    default:
      return "unspecified";
  }
}

namespace internal {

void RaiseMustOverride(const std::string& method) {
  platform::raiseFormat(platform::kInternalInconsistencyException,
                        "You must override %s in a subclass", {method});
}

void RaiseKeysWithSameOrdering() {
  platform::raise(platform::kInvalidArgumentException,
                  "Can't create VRVImmutableSortedDictionary with keys with same ordering!");
}

void RaiseCheckFailure(const std::string& reason) { platform::raise("check", reason); }

}  // namespace internal
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove
