#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBNODE_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBNODE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace immutable {

enum VRVLLRBColor : int64_t {
  VRVLLRBColorUnspecified = 0,
  VRVLLRBColorRed = 1,
  VRVLLRBColorBlack = 2,
};

// "red", "black" or "unspecified".
std::string VRVLLRBColorDescription(VRVLLRBColor color);

// A node of the object-level LLRB tree. Nodes never change once built.
template <typename K, typename V>
class VRVLLRBNode : public std::enable_shared_from_this<VRVLLRBNode<K, V>> {
 public:
  using Comparator = std::function<util::ComparisonResult(const K&, const K&)>;
  using NodePtr = std::shared_ptr<const VRVLLRBNode>;
  // Called with each entry; returning true stops the traversal.
  using Action = std::function<bool(const K&, const V&)>;

  virtual ~VRVLLRBNode() = default;

  // A null key, value, left or right and colour 0 keep the node's own.
  virtual NodePtr copyWith(const K* key, const V* value, VRVLLRBColor color, NodePtr left,
                           NodePtr right) const = 0;
  virtual NodePtr insertKey(const K& key, const V& value, const Comparator& comparator) const = 0;
  virtual NodePtr remove(const K& key, const Comparator& comparator) const = 0;
  virtual uint64_t count() const = 0;
  virtual bool isEmpty() const = 0;
  // Whether the action asked to stop.
  virtual bool inorderTraversal(const Action& action) const = 0;
  virtual bool reverseTraversal(const Action& action) const = 0;
  virtual const VRVLLRBNode* min() const = 0;
  virtual std::optional<K> minKey() const = 0;
  virtual std::optional<K> maxKey() const = 0;
  virtual bool isRed() const = 0;
  // The black depth; raises the "check" exception on a broken tree.
  virtual int check() const = 0;
  // Absent (null) on the empty node.
  virtual const K* key() const = 0;
  virtual const V* value() const = 0;
  virtual VRVLLRBColor color() const = 0;
  virtual const NodePtr& left() const = 0;
  virtual const NodePtr& right() const = 0;
  virtual std::string description() const = 0;
};

namespace internal {

// Red test that treats an absent node as black.
template <typename K, typename V>
bool IsRed(const std::shared_ptr<const VRVLLRBNode<K, V>>& node) {
  return node && node->isRed();
}

}  // namespace internal
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVLLRBNODE_H_
