#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_H_

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "davedove/verorariv/immutable/array_sorted_map.h"
#include "davedove/verorariv/immutable/sorted_map_base.h"
#include "davedove/verorariv/immutable/sorted_map_iterator.h"
#include "davedove/verorariv/immutable/tree_sorted_map.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// A persistent sorted map: every update returns a new map that shares unchanged storage with this
// one. Up to kFixedSize entries it is a flat array; an insert into a full array makes it a tree,
// which stays a tree until it is emptied.
template <typename K, typename V, typename C = util::Comparator<K>>
class SortedMap : public SortedMapBase {
 public:
  using key_type = K;
  using mapped_type = V;
  using value_type = std::pair<K, V>;
  using comparator_type = C;
  using array_type = ArraySortedMap<K, V, C>;
  using tree_type = TreeSortedMap<K, V, C>;
  using const_iterator = SortedMapIterator<value_type, typename array_type::const_iterator,
                                           typename tree_type::const_iterator>;

  explicit SortedMap(const C& comparator = C()) : tag_(kArray) {
    new (&array_) array_type(comparator);
  }

  SortedMap(const SortedMap& other) : tag_(other.tag_) {
    switch (tag_) {
      case kArray:
        new (&array_) array_type(other.array_);
        return;
      case kTree:
        new (&tree_) tree_type(other.tree_);
        return;
    }
    std::abort();
  }

  SortedMap(SortedMap&& other) noexcept : tag_(other.tag_) {
    switch (tag_) {
      case kArray:
        new (&array_) array_type(std::move(other.array_));
        return;
      case kTree:
        new (&tree_) tree_type(std::move(other.tree_));
        return;
    }
    std::abort();
  }

  ~SortedMap() { Destroy(); }

  SortedMap& operator=(const SortedMap& other) {
    if (this == &other) return *this;
    if (tag_ == other.tag_) {
      switch (tag_) {
        case kArray:
          array_ = other.array_;
          return *this;
        case kTree:
          tree_ = other.tree_;
          return *this;
      }
      std::abort();
    }
    Destroy();
    new (this) SortedMap(other);
    return *this;
  }

  SortedMap& operator=(SortedMap&& other) noexcept {
    if (this == &other) return *this;
    if (tag_ == other.tag_) {
      switch (tag_) {
        case kArray:
          array_ = std::move(other.array_);
          return *this;
        case kTree:
          tree_ = std::move(other.tree_);
          return *this;
      }
      std::abort();
    }
    Destroy();
    new (this) SortedMap(std::move(other));
    return *this;
  }

  size_type size() const {
    switch (tag_) {
      case kArray:
        return array_.size();
      case kTree:
        return tree_.size();
    }
    std::abort();
  }

  bool empty() const { return size() == 0; }

  // A full array becomes a tree on any insert, even one that only replaces a value.
  SortedMap insert(const K& key, const V& value) const {
    switch (tag_) {
      case kArray:
        if (array_.size() >= kFixedSize) {
          tree_type tree = tree_type::Create(array_, array_.comparator());
          return SortedMap(tree.insert(key, value));
        }
        return SortedMap(array_.insert(key, value));
      case kTree:
        return SortedMap(tree_.insert(key, value));
    }
    std::abort();
  }

  // A tree that loses its last entry becomes the empty array again.
  SortedMap erase(const K& key) const {
    switch (tag_) {
      case kArray:
        return SortedMap(array_.erase(key));
      case kTree: {
        tree_type result = tree_.erase(key);
        if (result.empty()) {
          return SortedMap(result.comparator());
        }
        return SortedMap(std::move(result));
      }
    }
    std::abort();
  }

  bool contains(const K& key) const {
    switch (tag_) {
      case kArray:
        return array_.contains(key);
      case kTree:
        return tree_.contains(key);
    }
    std::abort();
  }

  const_iterator find(const K& key) const {
    switch (tag_) {
      case kArray:
        return const_iterator(array_.find(key));
      case kTree:
        return const_iterator(tree_.find(key));
    }
    std::abort();
  }

  size_type find_index(const K& key) const {
    switch (tag_) {
      case kArray:
        return array_.find_index(key);
      case kTree:
        return tree_.find_index(key);
    }
    std::abort();
  }

  const_iterator lower_bound(const K& key) const {
    switch (tag_) {
      case kArray:
        return const_iterator(array_.lower_bound(key));
      case kTree:
        return const_iterator(tree_.lower_bound(key));
    }
    std::abort();
  }

  const_iterator begin() const {
    switch (tag_) {
      case kArray:
        return const_iterator(array_.begin());
      case kTree:
        return const_iterator(tree_.begin());
    }
    std::abort();
  }

  const_iterator end() const {
    switch (tag_) {
      case kArray:
        return const_iterator(array_.end());
      case kTree:
        return const_iterator(tree_.end());
    }
    std::abort();
  }

  const_iterator min() const { return begin(); }

  const_iterator max() const {
    switch (tag_) {
      case kArray:
        return const_iterator(array_.max());
      case kTree:
        return const_iterator(tree_.max());
    }
    std::abort();
  }

  // Entries from start (inclusive) to end (exclusive); empty unless start is before end.
  IteratorRange<const_iterator> range(const K& start, const K& end) const {
    if (comparator()(start, end)) {
      return IteratorRange<const_iterator>(lower_bound(start), lower_bound(end));
    }
    return IteratorRange<const_iterator>(this->end(), this->end());
  }

  const C& comparator() const {
    switch (tag_) {
      case kArray:
        return array_.comparator();
      case kTree:
        return tree_.comparator();
    }
    std::abort();
  }

  // Whether the map is in its tree form.
  bool is_tree() const { return tag_ == kTree; }

 private:
  enum Tag : uint32_t { kArray = 0, kTree = 1 };

  explicit SortedMap(array_type&& array) : tag_(kArray) { new (&array_) array_type(std::move(array)); }
  explicit SortedMap(tree_type&& tree) : tag_(kTree) { new (&tree_) tree_type(std::move(tree)); }

  void Destroy() {
    switch (tag_) {
      case kArray:
        array_.~array_type();
        return;
      case kTree:
        tree_.~tree_type();
        return;
    }
    std::abort();
  }

  Tag tag_;
  union {
    array_type array_;
    tree_type tree_;
  };
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_H_
