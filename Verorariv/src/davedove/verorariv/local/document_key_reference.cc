#include "davedove/verorariv/local/document_key_reference.h"

#include <functional>

#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace local {

size_t DocumentKeyReference::Hash() const {
  uint64_t result = std::hash<std::string>()(key_.ToString());
  result = result * 31 + static_cast<uint64_t>(static_cast<int64_t>(ref_id_));
  return static_cast<size_t>(result);
}

std::string DocumentKeyReference::ToString() const {
  return util::StringFormat("<DocumentKeyReference: key=%s, id=%s>", key_.ToString(), ref_id_);
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
