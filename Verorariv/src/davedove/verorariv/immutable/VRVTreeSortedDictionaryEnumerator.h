#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVTREESORTEDDICTIONARYENUMERATOR_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVTREESORTEDDICTIONARYENUMERATOR_H_

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVKeyEnumerator.h"
#include "davedove/verorariv/immutable/VRVLLRBNode.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace immutable {

template <typename K, typename V>
class VRVTreeSortedDictionary;

// Walks a tree dictionary's keys from a start key (inclusive) up to an end key (exclusive), with a
// stack of the nodes still to visit. A reverse walk swaps left and right and negates comparisons.
template <typename K, typename V>
class VRVTreeSortedDictionaryEnumerator : public VRVKeyEnumerator<K> {
 public:
  using Node = VRVLLRBNode<K, V>;

  VRVTreeSortedDictionaryEnumerator(std::shared_ptr<const VRVTreeSortedDictionary<K, V>> dictionary,
                                    const std::optional<K>& start_key,
                                    const std::optional<K>& end_key, bool is_reverse)
      : immutableSortedDictionary_(std::move(dictionary)),
        isReverse_(is_reverse),
        endKey_(end_key) {
    const auto& comparator = immutableSortedDictionary_->comparator();
    const Node* node = immutableSortedDictionary_->root().get();
    while (!node->isEmpty()) {
      // Without a start key every node lies at or after the start, in either direction.
      util::ComparisonResult result = util::ComparisonResult::Descending;
      if (start_key) {
        result = Directed(comparator(*node->key(), *start_key));
      }
      if (result == util::ComparisonResult::Ascending) {
        node = Later(node);
      } else if (result == util::ComparisonResult::Same) {
        if (Inside(node)) stack_.push_back(node);
        break;
      } else {
        if (Inside(node)) stack_.push_back(node);
        node = Earlier(node);
      }
    }
  }

  std::optional<K> nextObject() override {
    if (stack_.empty()) return std::nullopt;
    const Node* node = stack_.back();
    stack_.pop_back();
    std::optional<K> result = *node->key();
    const Node* next = Later(node);
    while (!next->isEmpty()) {
      if (Inside(next)) stack_.push_back(next);
      next = Earlier(next);
    }
    return result;
  }

 private:
  util::ComparisonResult Directed(util::ComparisonResult result) const {
    if (!isReverse_) return result;
    return static_cast<util::ComparisonResult>(-static_cast<int>(result));
  }

  bool Inside(const Node* node) const {
    if (!endKey_) return true;
    const auto& comparator = immutableSortedDictionary_->comparator();
    return Directed(comparator(*node->key(), *endKey_)) == util::ComparisonResult::Ascending;
  }

  // The child towards later keys in the walk's direction, and towards earlier ones.
  const Node* Later(const Node* node) const {
    return (isReverse_ ? node->left() : node->right()).get();
  }
  const Node* Earlier(const Node* node) const {
    return (isReverse_ ? node->right() : node->left()).get();
  }

  std::shared_ptr<const VRVTreeSortedDictionary<K, V>> immutableSortedDictionary_;
  std::vector<const Node*> stack_;
  bool isReverse_;
  std::optional<K> endKey_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVTREESORTEDDICTIONARYENUMERATOR_H_
