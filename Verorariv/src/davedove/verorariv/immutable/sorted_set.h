#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_SET_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_SET_H_

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "davedove/verorariv/immutable/sorted_map.h"
#include "davedove/verorariv/immutable/sorted_map_base.h"
#include "davedove/verorariv/immutable/sorted_map_iterator.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// Iterates the keys of a map iterator.
template <typename MapIterator>
class SortedSetIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = typename MapIterator::value_type::first_type;
  using difference_type = std::ptrdiff_t;
  using pointer = const value_type*;
  using reference = const value_type&;

  explicit SortedSetIterator(MapIterator iterator) : iterator_(std::move(iterator)) {}

  reference operator*() const { return iterator_->first; }
  pointer operator->() const { return &iterator_->first; }

  SortedSetIterator& operator++() {
    ++iterator_;
    return *this;
  }

  SortedSetIterator operator++(int) {
    SortedSetIterator result = *this;
    ++iterator_;
    return result;
  }

  friend bool operator==(const SortedSetIterator& a, const SortedSetIterator& b) {
    return a.iterator_ == b.iterator_;
  }
  friend bool operator!=(const SortedSetIterator& a, const SortedSetIterator& b) {
    return !(a == b);
  }

 private:
  MapIterator iterator_;
};

// A persistent sorted set: a sorted map from its keys to Empty.
template <typename K, typename C = util::Comparator<K>, typename V = Empty,
          typename M = SortedMap<K, V, C>>
class SortedSet : public SortedMapBase {
 public:
  using key_type = K;
  using value_type = K;
  using map_type = M;
  using const_iterator = SortedSetIterator<typename M::const_iterator>;

  explicit SortedSet(const C& comparator = C()) : map_(comparator) {}
  explicit SortedSet(M map) : map_(std::move(map)) {}

  // The keys inserted one by one in list order.
  SortedSet(std::initializer_list<K> keys, const C& comparator = C()) : map_(comparator) {
    for (const K& key : keys) {
      map_ = map_.insert(key, V());
    }
  }

  SortedSet insert(const K& key) const { return SortedSet(map_.insert(key, V())); }
  SortedSet erase(const K& key) const { return SortedSet(map_.erase(key)); }
  bool contains(const K& key) const { return map_.contains(key); }
  const_iterator find(const K& key) const { return const_iterator(map_.find(key)); }
  size_type find_index(const K& key) const { return map_.find_index(key); }
  const_iterator lower_bound(const K& key) const { return const_iterator(map_.lower_bound(key)); }

  size_type size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }

  const_iterator begin() const { return const_iterator(map_.begin()); }
  const_iterator end() const { return const_iterator(map_.end()); }
  const_iterator min() const { return const_iterator(map_.min()); }
  const_iterator max() const { return const_iterator(map_.max()); }

  // Keys from start (inclusive) to end (exclusive); empty unless start is before end.
  IteratorRange<const_iterator> range(const K& start, const K& end) const {
    auto keys = map_.range(start, end);
    return IteratorRange<const_iterator>(const_iterator(keys.begin()), const_iterator(keys.end()));
  }

  const M& map() const { return map_; }
  const C& comparator() const { return map_.comparator(); }

  // Same size and pairwise equal keys in order (the keys' own equality, not the comparator).
  friend bool operator==(const SortedSet& a, const SortedSet& b) {
    if (a.size() != b.size()) return false;
    auto other = b.begin();
    for (const K& key : a) {
      if (!(key == *other)) return false;
      ++other;
    }
    return true;
  }

  friend bool operator!=(const SortedSet& a, const SortedSet& b) { return !(a == b); }

 private:
  M map_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_SET_H_
