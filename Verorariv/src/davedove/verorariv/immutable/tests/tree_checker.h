#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_TESTS_TREE_CHECKER_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_TESTS_TREE_CHECKER_H_

#include <string>

#include "davedove/verorariv/immutable/llrb_node.h"

namespace davedove {
namespace verorariv {
namespace immutable {
namespace testing {

// Checks the left-leaning red-black rules, subtree sizes and key order of a tree. Returns an
// empty string when the tree is sound, else what is broken.
template <typename K, typename V, typename C>
class TreeChecker {
 public:
  explicit TreeChecker(const C& comparator) : comparator_(comparator) {}

  std::string Check(const LlrbNode<K, V>& root) {
    error_.clear();
    if (root.red()) error_ = "red root";
    Walk(root, nullptr, nullptr);
    return error_;
  }

 private:
  // Black height of the subtree; keys must lie strictly between low and high when given.
  int Walk(const LlrbNode<K, V>& node, const K* low, const K* high) {
    if (node.empty()) {
      if (node.size() != 0) Fail("empty node with a size");
      return 0;
    }
    if (low && !comparator_(*low, node.key())) Fail("key out of order");
    if (high && !comparator_(node.key(), *high)) Fail("key out of order");
    if (node.red() && (node.left().red() || node.right().red())) Fail("red node with red child");
    if (node.right().red()) Fail("red right child");
    if (node.size() != node.left().size() + node.right().size() + 1) Fail("wrong subtree size");
    int left = Walk(node.left(), low, &node.key());
    int right = Walk(node.right(), &node.key(), high);
    if (left != right) Fail("unequal black heights");
    return left + (node.red() ? 0 : 1);
  }

  void Fail(const std::string& what) {
    if (error_.empty()) error_ = what;
  }

  C comparator_;
  std::string error_;
};

}  // namespace testing
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_TESTS_TREE_CHECKER_H_
