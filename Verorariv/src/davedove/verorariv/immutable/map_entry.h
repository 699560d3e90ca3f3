#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_MAP_ENTRY_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_MAP_ENTRY_H_

#include <utility>

namespace davedove {
namespace verorariv {
namespace immutable {

// Compares map entries (and keys against entries) by their keys alone.
template <typename K, typename V, typename C>
class KeyComparator {
 public:
  using entry_type = std::pair<K, V>;

  KeyComparator() = default;
  explicit KeyComparator(const C& key_comparator) : key_comparator_(key_comparator) {}

  bool operator()(const entry_type& a, const entry_type& b) const {
    return key_comparator_(a.first, b.first);
  }
  bool operator()(const K& a, const entry_type& b) const { return key_comparator_(a, b.first); }
  bool operator()(const entry_type& a, const K& b) const { return key_comparator_(a.first, b); }
  bool operator()(const K& a, const K& b) const { return key_comparator_(a, b); }

  const C& comparator() const { return key_comparator_; }

 private:
  C key_comparator_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_MAP_ENTRY_H_
