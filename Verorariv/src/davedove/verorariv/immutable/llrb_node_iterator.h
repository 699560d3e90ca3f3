#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_ITERATOR_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_ITERATOR_H_

#include <cstddef>
#include <iterator>

#include "absl/container/inlined_vector.h"
#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// In-order iterator over an LLRB tree: a stack of the nodes still to visit, the current one on top.
// Nodes have no parent links, so the stack is what lets trees share subtrees. An iterator is valid
// while some map still holds the tree it walks.
template <typename N>
class LlrbNodeIterator {
 public:
  using node_type = N;
  using key_type = typename N::first_type;
  using value_type = typename N::value_type;
  using rep_type = typename N::Rep;

  using iterator_category = std::forward_iterator_tag;
  using difference_type = std::ptrdiff_t;
  using pointer = const value_type*;
  using reference = const value_type&;

  // The end iterator: an empty stack.
  LlrbNodeIterator() = default;

  static LlrbNodeIterator Begin(const N& root) {
    LlrbNodeIterator result;
    result.PushLeftSpine(root.rep());
    return result;
  }

  static LlrbNodeIterator End() { return LlrbNodeIterator(); }

  // Stands on the last entry only, so that incrementing it reaches the end.
  static LlrbNodeIterator Max(const N& root) {
    LlrbNodeIterator result;
    const rep_type* node = root.rep();
    if (node->empty()) return result;
    while (!node->right_.empty()) node = node->right_.rep();
    result.stack_.push_back(node);
    return result;
  }

  // Stands on the first entry whose key is not before key; the nodes below it on the stack are those
  // at which the walk went left, the later entries still to visit.
  template <typename C>
  static LlrbNodeIterator LowerBound(const N& root, const key_type& key, const C& comparator) {
    LlrbNodeIterator result;
    const rep_type* node = root.rep();
    while (!node->empty()) {
      const key_type& node_key = node->entry_.first;
      if (comparator(key, node_key)) {
        result.stack_.push_back(node);
        node = node->left_.rep();
      } else if (comparator(node_key, key)) {
        node = node->right_.rep();
      } else {
        result.stack_.push_back(node);
        break;
      }
    }
    return result;
  }

  bool is_end() const { return stack_.empty(); }

  const value_type& get() const {
    HARD_ASSERT(!is_end());
    return stack_.back()->entry_;
  }

  reference operator*() const { return get(); }
  pointer operator->() const { return &get(); }

  LlrbNodeIterator& operator++() {
    HARD_ASSERT(!is_end());
    const rep_type* top = stack_.back();
    stack_.pop_back();
    PushLeftSpine(top->right_.rep());
    return *this;
  }

  LlrbNodeIterator operator++(int) {
    LlrbNodeIterator result = *this;
    ++*this;
    return result;
  }

  // Equal when both are at the end, or when both stand on equal keys (even in different trees).
  friend bool operator==(const LlrbNodeIterator& a, const LlrbNodeIterator& b) {
    if (a.is_end()) return b.is_end();
    if (b.is_end()) return false;
    return a.stack_.back()->entry_.first == b.stack_.back()->entry_.first;
  }

  friend bool operator!=(const LlrbNodeIterator& a, const LlrbNodeIterator& b) { return !(a == b); }

 private:
  void PushLeftSpine(const rep_type* node) {
    while (!node->empty()) {
      stack_.push_back(node);
      node = node->left_.rep();
    }
  }

  absl::InlinedVector<const rep_type*, 24> stack_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_ITERATOR_H_
