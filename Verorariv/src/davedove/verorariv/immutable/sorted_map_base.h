#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_BASE_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_BASE_H_

#include <cstdint>

namespace davedove {
namespace verorariv {
namespace immutable {

// The value type of sets: every Empty equals every other.
struct Empty {
  bool operator==(const Empty&) const { return true; }
  bool operator!=(const Empty&) const { return false; }
};

// Constants shared by every sorted map form.
class SortedMapBase {
 public:
  using size_type = uint32_t;

  // The largest number of entries of the array form.
  static constexpr size_type kFixedSize = 25;

  // Result of find_index for an absent key.
  static constexpr size_type npos = static_cast<size_type>(-1);
};

namespace internal {

// Three-way answer (-1, 0, 1) derived from a strict less-than comparator.
template <typename K, typename C>
int CompareKeys(const C& comparator, const K& a, const K& b) {
  if (comparator(a, b)) return -1;
  if (comparator(b, a)) return 1;
  return 0;
}

}  // namespace internal
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_BASE_H_
