#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBEMPTYNODE_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBEMPTYNODE_H_

#include <memory>
#include <optional>
#include <string>

#include "davedove/verorariv/immutable/VRVLLRBNode.h"

namespace davedove {
namespace verorariv {
namespace immutable {

template <typename K, typename V>
class VRVLLRBValueNode;

// The empty subtree: one shared instance per key/value type.
template <typename K, typename V>
class VRVLLRBEmptyNode : public VRVLLRBNode<K, V> {
 public:
  using Base = VRVLLRBNode<K, V>;
  using typename Base::Action;
  using typename Base::Comparator;
  using typename Base::NodePtr;

  // Made once (thread-safe) and kept for the life of the process.
  static const NodePtr& emptyNode() {
    static const NodePtr* node = new NodePtr(std::make_shared<const VRVLLRBEmptyNode>());
    return *node;
  }

  NodePtr copyWith(const K*, const V*, VRVLLRBColor, NodePtr, NodePtr) const override {
    return this->shared_from_this();
  }
  NodePtr insertKey(const K& key, const V& value, const Comparator&) const override {
    return std::make_shared<const VRVLLRBValueNode<K, V>>(key, value, VRVLLRBColorRed, nullptr,
                                                          nullptr);
  }
  NodePtr remove(const K&, const Comparator&) const override { return this->shared_from_this(); }
  uint64_t count() const override { return 0; }
  bool isEmpty() const override { return true; }
  bool inorderTraversal(const Action&) const override { return false; }
  bool reverseTraversal(const Action&) const override { return false; }
  const Base* min() const override { return this; }
  std::optional<K> minKey() const override { return std::nullopt; }
  std::optional<K> maxKey() const override { return std::nullopt; }
  bool isRed() const override { return false; }
  int check() const override { return 0; }
  const K* key() const override { return nullptr; }
  const V* value() const override { return nullptr; }
  VRVLLRBColor color() const override { return VRVLLRBColorUnspecified; }
  const NodePtr& left() const override { return Absent(); }
  const NodePtr& right() const override { return Absent(); }
  std::string description() const override { return "[empty node]"; }

 private:
  static const NodePtr& Absent() {
    static const NodePtr absent;
    return absent;
  }
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#include "davedove/verorariv/immutable/VRVLLRBValueNode.h"

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBEMPTYNODE_H_
