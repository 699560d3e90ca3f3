#include "davedove/verorariv/model/VRVDocumentKey.h"

#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace model {

std::string VRVDocumentKey::ToString() const {
  return util::StringFormat("<VRVDocumentKey: %s>", key_.ToString());
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
