#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_TREE_SORTED_MAP_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_TREE_SORTED_MAP_H_

#include <utility>

#include "davedove/verorariv/immutable/llrb_node.h"
#include "davedove/verorariv/immutable/llrb_node_iterator.h"
#include "davedove/verorariv/immutable/sorted_map_base.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// The tree form of a sorted map: a persistent LLRB tree whose nodes carry their subtree sizes.
template <typename K, typename V, typename C>
class TreeSortedMap : public SortedMapBase {
 public:
  using key_type = K;
  using mapped_type = V;
  using value_type = std::pair<K, V>;
  using node_type = LlrbNode<K, V>;
  using const_iterator = LlrbNodeIterator<node_type>;

  explicit TreeSortedMap(const C& comparator = C()) : comparator_(comparator) {}

  TreeSortedMap(node_type root, const C& comparator)
      : comparator_(comparator), root_(std::move(root)) {}

  // A tree of the entries of another form, inserted one by one in its order.
  template <typename Range>
  static TreeSortedMap Create(const Range& entries, const C& comparator) {
    // No map can reach the tree until it is complete, so its nodes are written in place.
    node_type root;
    for (const auto& entry : entries) {
      root.InsertOwned(entry.first, entry.second, comparator);
      if (root.red()) root.set_color(node_type::Black);
    }
    node_type::Publish(root.rep_);
    return TreeSortedMap(std::move(root), comparator);
  }

  TreeSortedMap insert(const K& key, const V& value) const {
    return TreeSortedMap(root_.insert(key, value, comparator_), comparator_);
  }

  TreeSortedMap erase(const K& key) const {
    return TreeSortedMap(root_.erase(key, comparator_), comparator_);
  }

  bool contains(const K& key) const {
    const node_type* node = &root_;
    while (!node->empty()) {
      if (comparator_(key, node->key())) {
        node = &node->left();
      } else if (comparator_(node->key(), key)) {
        node = &node->right();
      } else {
        return true;
      }
    }
    return false;
  }

  const_iterator find(const K& key) const {
    const_iterator pos = lower_bound(key);
    if (!pos.is_end() && !comparator_(key, pos->first)) {
      return pos;
    }
    return end();
  }

  size_type find_index(const K& key) const {
    size_type prune = 0;
    const node_type* node = &root_;
    while (!node->empty()) {
      if (comparator_(key, node->key())) {
        node = &node->left();
      } else if (comparator_(node->key(), key)) {
        prune += node->left().size() + 1;
        node = &node->right();
      } else {
        return prune + node->left().size();
      }
    }
    return npos;
  }

  const_iterator lower_bound(const K& key) const {
    return const_iterator::LowerBound(root_, key, comparator_);
  }

  size_type size() const { return root_.size(); }
  bool empty() const { return root_.empty(); }

  const_iterator begin() const { return const_iterator::Begin(root_); }
  const_iterator end() const { return const_iterator::End(); }
  const_iterator min() const { return begin(); }
  const_iterator max() const { return const_iterator::Max(root_); }

  const C& comparator() const { return comparator_; }
  const node_type& root() const { return root_; }

 private:
  C comparator_;
  node_type root_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_TREE_SORTED_MAP_H_
