#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVKEYENUMERATOR_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVKEYENUMERATOR_H_

#include <optional>

namespace davedove {
namespace verorariv {
namespace immutable {

// A single-pass walk over keys; nextObject gives none once the walk is over.
template <typename K>
class VRVKeyEnumerator {
 public:
  virtual ~VRVKeyEnumerator() = default;
  virtual std::optional<K> nextObject() = 0;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVKEYENUMERATOR_H_
