#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_ARRAY_SORTED_MAP_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_ARRAY_SORTED_MAP_H_

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>

#include "davedove/verorariv/immutable/map_entry.h"
#include "davedove/verorariv/immutable/sorted_map_base.h"
#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace immutable {

namespace internal {

template <typename T, typename = void>
struct HasEquality : std::false_type {};
template <typename T>
struct HasEquality<T, decltype(void(std::declval<const T&>() == std::declval<const T&>()))>
    : std::true_type {};

// Whether an insert may keep the stored entry: values without equality never match.
template <typename V>
bool ValuesEqual(const V& a, const V& b) {
  if constexpr (HasEquality<V>::value) {
    return static_cast<bool>(a == b);
  } else {
    return false;
  }
}

}  // namespace internal

// Exactly kFixedSize slots, all constructed up front, and the count of slots in use. Only written
// while it is being built; shared only once complete.
template <typename T>
class FixedArray {
 public:
  using size_type = SortedMapBase::size_type;
  using const_iterator = const T*;

  FixedArray() = default;

  void append(const T& value) {
    size_type new_size = size_ + 1;
    HARD_ASSERT(new_size <= SortedMapBase::kFixedSize);
    contents_[size_] = value;
    size_ = new_size;
  }

  template <typename SourceIterator>
  void append(SourceIterator first, SourceIterator last) {
    size_type new_size = size_ + static_cast<size_type>(std::distance(first, last));
    HARD_ASSERT(new_size <= SortedMapBase::kFixedSize);
    std::copy(first, last, contents_.begin() + size_);
    size_ = new_size;
  }

  const_iterator begin() const { return contents_.data(); }
  const_iterator end() const { return contents_.data() + size_; }
  size_type size() const { return size_; }

 private:
  std::array<T, SortedMapBase::kFixedSize> contents_{};
  size_type size_ = 0;
};

// The flat form of a sorted map: at most kFixedSize entries in key order, searched by bisection.
template <typename K, typename V, typename C>
class ArraySortedMap : public SortedMapBase {
 public:
  using key_type = K;
  using mapped_type = V;
  using value_type = std::pair<K, V>;
  using key_comparator_type = KeyComparator<K, V, C>;
  using array_type = FixedArray<value_type>;
  using array_pointer = std::shared_ptr<const array_type>;
  using const_iterator = typename array_type::const_iterator;

  explicit ArraySortedMap(const C& comparator = C())
      : array_(EmptyArray()), key_comparator_(comparator) {}

  ArraySortedMap insert(const K& key, const V& value) const {
    const_iterator current_end = end();
    const_iterator pos = LowerBound(key);
    bool replacing = false;
    if (pos != current_end && !key_comparator_(key, *pos)) {
      if (internal::ValuesEqual(pos->second, value)) {
        return *this;
      }
      replacing = true;
    }

    auto copy = std::make_shared<array_type>();
    copy->append(begin(), pos);
    copy->append(value_type(key, value));
    copy->append(replacing ? pos + 1 : pos, current_end);
    return ArraySortedMap(std::move(copy), key_comparator_);
  }

  ArraySortedMap erase(const K& key) const {
    const_iterator pos = find(key);
    if (pos == end()) {
      return *this;
    }
    if (size() <= 1) {
      return ArraySortedMap(EmptyArray(), key_comparator_);
    }
    auto copy = std::make_shared<array_type>();
    copy->append(begin(), pos);
    copy->append(pos + 1, end());
    return ArraySortedMap(std::move(copy), key_comparator_);
  }

  bool contains(const K& key) const { return find(key) != end(); }

  const_iterator find(const K& key) const {
    const_iterator pos = LowerBound(key);
    if (pos != end() && !key_comparator_(key, *pos)) {
      return pos;
    }
    return end();
  }

  size_type find_index(const K& key) const {
    const_iterator pos = find(key);
    return pos == end() ? npos : static_cast<size_type>(pos - begin());
  }

  const_iterator lower_bound(const K& key) const { return LowerBound(key); }

  size_type size() const { return array_->size(); }
  bool empty() const { return size() == 0; }

  const_iterator begin() const { return array_->begin(); }
  const_iterator end() const { return array_->end(); }
  const_iterator min() const { return begin(); }
  const_iterator max() const { return empty() ? end() : end() - 1; }

  const C& comparator() const { return key_comparator_.comparator(); }

 private:
  ArraySortedMap(array_pointer array, const key_comparator_type& key_comparator)
      : array_(std::move(array)), key_comparator_(key_comparator) {}

  // One empty array per entry type, made once and never released.
  static const array_pointer& EmptyArray() {
    static const array_pointer* empty = new array_pointer(std::make_shared<const array_type>());
    return *empty;
  }

  const_iterator LowerBound(const K& key) const {
    return std::lower_bound(begin(), end(), key, key_comparator_);
  }

  array_pointer array_;
  key_comparator_type key_comparator_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_ARRAY_SORTED_MAP_H_
