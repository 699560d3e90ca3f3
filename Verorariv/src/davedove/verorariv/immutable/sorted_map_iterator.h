#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_ITERATOR_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_ITERATOR_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace davedove {
namespace verorariv {
namespace immutable {

// An iterator of either form of a sorted map: a position in the array, or a tree iterator.
template <typename V, typename ArrayIterator, typename TreeIterator>
class SortedMapIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = V;
  using difference_type = std::ptrdiff_t;
  using pointer = const V*;
  using reference = const V&;

  explicit SortedMapIterator(ArrayIterator array_iterator)
      : tag_(kArray), array_iterator_(array_iterator) {}
  explicit SortedMapIterator(TreeIterator tree_iterator)
      : tag_(kTree), tree_iterator_(std::move(tree_iterator)) {}

  reference operator*() const {
    switch (tag_) {
      case kArray:
        return *array_iterator_;
      case kTree:
        return *tree_iterator_;
    }
    std::abort();
  }

  pointer operator->() const { return &**this; }

  SortedMapIterator& operator++() {
    switch (tag_) {
      case kArray:
        ++array_iterator_;
        return *this;
      case kTree:
        ++tree_iterator_;
        return *this;
    }
    std::abort();
  }

  SortedMapIterator operator++(int) {
    SortedMapIterator result = *this;
    ++*this;
    return result;
  }

  // Iterators of different forms are never equal.
  friend bool operator==(const SortedMapIterator& a, const SortedMapIterator& b) {
    if (a.tag_ != b.tag_) return false;
    switch (a.tag_) {
      case kArray:
        return a.array_iterator_ == b.array_iterator_;
      case kTree:
        return a.tree_iterator_ == b.tree_iterator_;
    }
    std::abort();
  }

  friend bool operator!=(const SortedMapIterator& a, const SortedMapIterator& b) {
    return !(a == b);
  }

 private:
  enum Tag : uint32_t { kArray = 0, kTree = 1 };

  Tag tag_;
  ArrayIterator array_iterator_{};
  TreeIterator tree_iterator_{};
};

// A pair of iterators usable in a range-based for loop.
template <typename Iterator>
class IteratorRange {
 public:
  IteratorRange(Iterator begin, Iterator end) : begin_(std::move(begin)), end_(std::move(end)) {}
  const Iterator& begin() const { return begin_; }
  const Iterator& end() const { return end_; }

 private:
  Iterator begin_;
  Iterator end_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_SORTED_MAP_ITERATOR_H_
