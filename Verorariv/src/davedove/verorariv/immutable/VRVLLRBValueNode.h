#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBVALUENODE_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBVALUENODE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "davedove/verorariv/immutable/VRVLLRBEmptyNode.h"
#include "davedove/verorariv/immutable/VRVLLRBNode.h"
#include "davedove/verorariv/immutable/object_traits.h"

namespace davedove {
namespace verorariv {
namespace immutable {
namespace internal {

// Raises the platform exception named "check" with the given reason.
[[noreturn]] void RaiseCheckFailure(const std::string& reason);

}  // namespace internal

// A node holding one entry. Its subtree count is computed when it is built, so readers on any
// thread only ever read it.
template <typename K, typename V>
class VRVLLRBValueNode : public VRVLLRBNode<K, V> {
 public:
  using Base = VRVLLRBNode<K, V>;
  using typename Base::Action;
  using typename Base::Comparator;
  using typename Base::NodePtr;
  using ValuePtr = std::shared_ptr<const VRVLLRBValueNode>;

  // Colour 0 becomes red; absent children become the empty node.
  VRVLLRBValueNode(K key, V value, VRVLLRBColor color, NodePtr left, NodePtr right)
      : color_(color == VRVLLRBColorUnspecified ? VRVLLRBColorRed : color),
        key_(std::move(key)),
        value_(std::move(value)),
        right_(right ? std::move(right) : Empty()),
        left_(left ? std::move(left) : Empty()),
        count_(left_->count() + right_->count() + 1) {}

  NodePtr copyWith(const K* key, const V* value, VRVLLRBColor color, NodePtr left,
                   NodePtr right) const override {
    return copy(key, value, color, std::move(left), std::move(right));
  }

  NodePtr insertKey(const K& key, const V& value, const Comparator& comparator) const override {
    ValuePtr n;
    util::ComparisonResult result = comparator(key, key_);
    if (result == util::ComparisonResult::Ascending) {
      n = copy(nullptr, nullptr, VRVLLRBColorUnspecified, left_->insertKey(key, value, comparator),
               nullptr);
    } else if (result == util::ComparisonResult::Same) {
      // The stored key object stays.
      n = copy(nullptr, &value, VRVLLRBColorUnspecified, nullptr, nullptr);
    } else {
      n = copy(nullptr, nullptr, VRVLLRBColorUnspecified, nullptr,
               right_->insertKey(key, value, comparator));
    }
    return n->fixUp();
  }

  NodePtr remove(const K& key, const Comparator& comparator) const override {
    ValuePtr n = self();
    if (comparator(key, n->key_) == util::ComparisonResult::Ascending) {
      if (!n->left_->isEmpty() && !n->left_->isRed() && !internal::IsRed(n->left_->left())) {
        n = n->moveRedLeft();
      }
      n = n->copy(nullptr, nullptr, VRVLLRBColorUnspecified,
                  n->left_->remove(key, comparator), nullptr);
    } else {
      if (n->left_->isRed()) n = n->rotateRight();
      if (!n->right_->isEmpty() && !n->right_->isRed() && !internal::IsRed(n->right_->left())) {
        n = n->moveRedRight();
      }
      if (comparator(key, n->key_) == util::ComparisonResult::Same) {
        if (n->right_->isEmpty()) return Empty();
        const Base* smallest = n->right_->min();
        n = n->copy(smallest->key(), smallest->value(), VRVLLRBColorUnspecified, nullptr,
                    AsValue(n->right_)->removeMin());
      }
      n = n->copy(nullptr, nullptr, VRVLLRBColorUnspecified, nullptr,
                  n->right_->remove(key, comparator));
    }
    return n->fixUp();
  }

  uint64_t count() const override { return count_; }
  bool isEmpty() const override { return false; }

  bool inorderTraversal(const Action& action) const override {
    return left_->inorderTraversal(action) || action(key_, value_) ||
           right_->inorderTraversal(action);
  }

  bool reverseTraversal(const Action& action) const override {
    return right_->reverseTraversal(action) || action(key_, value_) ||
           left_->reverseTraversal(action);
  }

  const Base* min() const override { return left_->isEmpty() ? this : left_->min(); }
  std::optional<K> minKey() const override { return *min()->key(); }
  std::optional<K> maxKey() const override {
    return right_->isEmpty() ? std::optional<K>(key_) : right_->maxKey();
  }
  bool isRed() const override { return color_ == VRVLLRBColorRed; }

  int check() const override {
    if (isRed() && left_->isRed()) {
      internal::RaiseCheckFailure("Red node has a red child");
    }
    if (right_->isRed()) {
      internal::RaiseCheckFailure("Right child is red");
    }
    int black_depth = left_->check();
    int right_depth = right_->check();
    if (black_depth != right_depth) {
      internal::RaiseCheckFailure("(" + internal::ObjectDescription(value_) + " -> " +
                                  VRVLLRBColorDescription(color_) + ")blackDepth: " +
                                  std::to_string(black_depth) +
                                  " ; self.right check: " + std::to_string(right_depth));
    }
    return black_depth + (isRed() ? 0 : 1);
  }

  // Whether the black depth fits the count: 2^check <= count + 1.
  bool checkMaxDepth() const {
    int depth = check();
    return depth < 64 && (uint64_t{1} << depth) <= count_ + 1;
  }

  const K* key() const override { return &key_; }
  const V* value() const override { return &value_; }
  VRVLLRBColor color() const override { return color_; }
  const NodePtr& left() const override { return left_; }
  const NodePtr& right() const override { return right_; }

  std::string description() const override {
    return "[key=" + internal::ObjectDescription(key_) +
           " val=" + internal::ObjectDescription(value_) +
           " color=" + VRVLLRBColorDescription(color_) + "]";
  }

 private:
  static const NodePtr& Empty() { return VRVLLRBEmptyNode<K, V>::emptyNode(); }

  static ValuePtr AsValue(const NodePtr& node) {
    return std::static_pointer_cast<const VRVLLRBValueNode>(node);
  }

  ValuePtr self() const { return AsValue(this->shared_from_this()); }

  ValuePtr copy(const K* key, const V* value, VRVLLRBColor color, NodePtr left,
                NodePtr right) const {
    return std::make_shared<const VRVLLRBValueNode>(
        key ? *key : key_, value ? *value : value_,
        color == VRVLLRBColorUnspecified ? color_ : color, left ? std::move(left) : left_,
        right ? std::move(right) : right_);
  }

  static VRVLLRBColor Flipped(VRVLLRBColor color) {
    return color == VRVLLRBColorBlack ? VRVLLRBColorRed : VRVLLRBColorBlack;
  }

  ValuePtr rotateLeft() const {
    NodePtr new_left = copy(nullptr, nullptr, VRVLLRBColorRed, nullptr, right_->left());
    return AsValue(right_)->copy(nullptr, nullptr, color_, std::move(new_left), nullptr);
  }

  ValuePtr rotateRight() const {
    NodePtr new_right = copy(nullptr, nullptr, VRVLLRBColorRed, left_->right(), nullptr);
    return AsValue(left_)->copy(nullptr, nullptr, color_, nullptr, std::move(new_right));
  }

  ValuePtr colorFlip() const {
    NodePtr left = left_->copyWith(nullptr, nullptr, Flipped(left_->color()), nullptr, nullptr);
    NodePtr right = right_->copyWith(nullptr, nullptr, Flipped(right_->color()), nullptr, nullptr);
    return copy(nullptr, nullptr, Flipped(color_), std::move(left), std::move(right));
  }

  ValuePtr fixUp() const {
    ValuePtr n = self();
    if (n->right_->isRed() && !n->left_->isRed()) n = n->rotateLeft();
    if (n->left_->isRed() && internal::IsRed(n->left_->left())) n = n->rotateRight();
    if (n->left_->isRed() && n->right_->isRed()) n = n->colorFlip();
    return n;
  }

  ValuePtr moveRedLeft() const {
    ValuePtr n = colorFlip();
    if (internal::IsRed(n->right_->left())) {
      n = n->copy(nullptr, nullptr, VRVLLRBColorUnspecified, nullptr,
                  AsValue(n->right_)->rotateRight());
      n = n->rotateLeft();
      n = n->colorFlip();
    }
    return n;
  }

  ValuePtr moveRedRight() const {
    ValuePtr n = colorFlip();
    if (internal::IsRed(n->left_->left())) {
      n = n->rotateRight();
      n = n->colorFlip();
    }
    return n;
  }

  NodePtr removeMin() const {
    if (left_->isEmpty()) return Empty();
    ValuePtr n = self();
    if (!n->left_->isRed() && !internal::IsRed(n->left_->left())) n = n->moveRedLeft();
    n = n->copy(nullptr, nullptr, VRVLLRBColorUnspecified, AsValue(n->left_)->removeMin(),
                nullptr);
    return n->fixUp();
  }

  VRVLLRBColor color_;
  K key_;
  V value_;
  NodePtr right_;
  NodePtr left_;
  uint64_t count_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBVALUENODE_H_
