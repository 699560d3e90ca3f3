#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVTREESORTEDDICTIONARY_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVTREESORTEDDICTIONARY_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVImmutableSortedDictionary.h"
#include "davedove/verorariv/immutable/VRVLLRBEmptyNode.h"
#include "davedove/verorariv/immutable/VRVLLRBNode.h"
#include "davedove/verorariv/immutable/VRVLLRBValueNode.h"
#include "davedove/verorariv/immutable/VRVTreeSortedDictionaryEnumerator.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// The large form: a persistent LLRB tree whose root is always black.
template <typename K, typename V>
class VRVTreeSortedDictionary : public VRVImmutableSortedDictionary<K, V> {
 public:
  using Base = VRVImmutableSortedDictionary<K, V>;
  using typename Base::Block;
  using typename Base::Comparator;
  using typename Base::Entries;
  using typename Base::EnumeratorPtr;
  using typename Base::Ptr;
  using Node = VRVLLRBNode<K, V>;
  using NodePtr = typename Node::NodePtr;
  using ValueNode = VRVLLRBValueNode<K, V>;

  explicit VRVTreeSortedDictionary(Comparator comparator)
      : VRVTreeSortedDictionary(std::move(comparator), VRVLLRBEmptyNode<K, V>::emptyNode()) {}

  VRVTreeSortedDictionary(Comparator comparator, NodePtr root)
      : comparator_(std::move(comparator)),
        root_(root ? std::move(root) : VRVLLRBEmptyNode<K, V>::emptyNode()) {}

  // Sets every entry in enumeration order; of two keys that compare the same, the later wins.
  static Ptr dictionaryWithDictionary(const Entries& dictionary, const Comparator& comparator) {
    Ptr result = std::make_shared<const VRVTreeSortedDictionary>(comparator);
    for (const auto& entry : dictionary) {
      result = result->dictionaryBySettingObject(entry.second, entry.first);
    }
    return result;
  }

  // Balanced bulk build over the sorted keys (raises when two keys compare the same).
  static Ptr fromDictionary(const Entries& dictionary, const Comparator& comparator) {
    Entries sorted = dictionary;
    std::sort(sorted.begin(), sorted.end(), [&](const auto& a, const auto& b) {
      return comparator(a.first, b.first) == util::ComparisonResult::Ascending;
    });
    for (size_t i = 1; i < sorted.size(); ++i) {
      if (comparator(sorted[i - 1].first, sorted[i].first) != util::ComparisonResult::Ascending) {
        internal::RaiseKeysWithSameOrdering();
      }
    }
    return std::make_shared<const VRVTreeSortedDictionary>(comparator, RootFrom12List(sorted));
  }

  Ptr dictionaryBySettingObject(const V& object, const K& key) const override {
    NodePtr root = root_->insertKey(key, object, comparator_)
                       ->copyWith(nullptr, nullptr, VRVLLRBColorBlack, nullptr, nullptr);
    return std::make_shared<const VRVTreeSortedDictionary>(comparator_, std::move(root));
  }

  Ptr dictionaryByRemovingObjectForKey(const K& key) const override {
    if (!containsKey(key)) return this->shared_from_this();
    NodePtr root = root_->remove(key, comparator_)
                       ->copyWith(nullptr, nullptr, VRVLLRBColorBlack, nullptr, nullptr);
    return std::make_shared<const VRVTreeSortedDictionary>(comparator_, std::move(root));
  }

  std::optional<V> objectForKey(const K& key) const override {
    const Node* node = root_.get();
    while (!node->isEmpty()) {
      util::ComparisonResult result = comparator_(key, *node->key());
      if (result == util::ComparisonResult::Ascending) {
        node = node->left().get();
      } else if (result == util::ComparisonResult::Descending) {
        node = node->right().get();
      } else {
        return *node->value();
      }
    }
    return std::nullopt;
  }

  uint64_t indexOfKey(const K& key) const override {
    uint64_t skipped = 0;
    const Node* node = root_.get();
    while (!node->isEmpty()) {
      util::ComparisonResult result = comparator_(key, *node->key());
      if (result == util::ComparisonResult::Ascending) {
        node = node->left().get();
      } else if (result == util::ComparisonResult::Descending) {
        skipped += node->left()->count() + 1;
        node = node->right().get();
      } else {
        return skipped + node->left()->count();
      }
    }
    return kVRVNotFound;
  }

  bool isEmpty() const override { return root_->isEmpty(); }
  uint64_t count() const override { return root_->count(); }
  std::optional<K> minKey() const override { return root_->minKey(); }
  std::optional<K> maxKey() const override { return root_->maxKey(); }

  void enumerateKeysAndObjectsUsingBlock(const Block& block) const override {
    enumerateKeysAndObjectsReverse(false, block);
  }

  void enumerateKeysAndObjectsReverse(bool reverse, const Block& block) const override {
    auto action = [&block](const K& key, const V& value) {
      bool stop = false;
      block(key, value, &stop);
      return stop;
    };
    if (reverse) {
      root_->reverseTraversal(action);
    } else {
      root_->inorderTraversal(action);
    }
  }

  bool containsKey(const K& key) const override { return objectForKey(key).has_value(); }

  EnumeratorPtr keyEnumerator() const override {
    return Enumerator(std::nullopt, std::nullopt, false);
  }
  EnumeratorPtr keyEnumeratorFrom(const K& start) const override {
    return Enumerator(start, std::nullopt, false);
  }
  EnumeratorPtr keyEnumeratorFrom(const K& start, const std::optional<K>& end) const override {
    return Enumerator(start, end, false);
  }
  EnumeratorPtr reverseKeyEnumerator() const override {
    return Enumerator(std::nullopt, std::nullopt, true);
  }
  EnumeratorPtr reverseKeyEnumeratorFrom(const K& start) const override {
    return Enumerator(start, std::nullopt, true);
  }

  const Comparator& comparator() const { return comparator_; }
  const NodePtr& root() const { return root_; }

 private:
  EnumeratorPtr Enumerator(const std::optional<K>& start, const std::optional<K>& end,
                           bool reverse) const {
    auto self = std::static_pointer_cast<const VRVTreeSortedDictionary>(this->shared_from_this());
    return std::make_unique<VRVTreeSortedDictionaryEnumerator<K, V>>(std::move(self), start, end,
                                                                     reverse);
  }

  // A perfectly balanced black subtree of sorted[start, start + length).
  static NodePtr BuildBalancedTree(const Entries& sorted, size_t start, size_t length) {
    length = std::min(sorted.size() - std::min(start, sorted.size()), length);
    if (length == 0) return nullptr;
    if (length == 1) {
      return std::make_shared<const ValueNode>(sorted[start].first, sorted[start].second,
                                               VRVLLRBColorBlack, nullptr, nullptr);
    }
    size_t middle = length / 2;
    NodePtr left = BuildBalancedTree(sorted, start, middle);
    NodePtr right = BuildBalancedTree(sorted, start + middle + 1, middle);
    const auto& entry = sorted[start + middle];
    return std::make_shared<const ValueNode>(entry.first, entry.second, VRVLLRBColorBlack,
                                             std::move(left), std::move(right));
  }

  // The root from the 1-2 list of n: pennants of 2^k entries, from the largest keys down, each
  // the left child of the one before. Pure integer arithmetic.
  static NodePtr RootFrom12List(const Entries& sorted) {
    const uint64_t n = sorted.size();
    if (n == 0) return nullptr;
    int bit_count = 0;
    while ((n + 1) >> (bit_count + 1)) ++bit_count;  // floor(log2(n + 1))
    const uint64_t bits = (n + 1) & ((uint64_t{1} << bit_count) - 1);
    int current = bit_count - 1;

    struct Pennant {
      size_t index;
      VRVLLRBColor color;
      NodePtr right;
    };
    std::vector<Pennant> pennants;
    size_t index = static_cast<size_t>(n);
    auto add_pennant = [&](VRVLLRBColor color, size_t chunk) {
      index -= chunk;
      pennants.push_back(Pennant{index, color, BuildBalancedTree(sorted, index + 1, chunk - 1)});
    };
    for (int i = 0; i < bit_count; ++i) {
      bool bit = ((bits >> current) & 1u) != 0;
      --current;
      size_t chunk = size_t{1} << (bit_count - 1 - i);
      add_pennant(VRVLLRBColorBlack, chunk);
      if (bit) add_pennant(VRVLLRBColorRed, chunk);
    }

    // Linked from the deepest pennant up, so each node's count is known when it is made.
    NodePtr node;
    for (auto it = pennants.rbegin(); it != pennants.rend(); ++it) {
      const auto& entry = sorted[it->index];
      node = std::make_shared<const ValueNode>(entry.first, entry.second, it->color,
                                               std::move(node), std::move(it->right));
    }
    return node;
  }

  Comparator comparator_;
  NodePtr root_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVTREESORTEDDICTIONARY_H_
