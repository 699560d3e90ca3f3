#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_H_

#include <atomic>
#include <cstdint>
#include <utility>

#include "davedove/verorariv/immutable/sorted_map_base.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// A node of a persistent left-leaning red-black tree. Copying a node copies a shared reference to
// its representation; a representation is written only while the operation that made it runs.
template <typename K, typename V>
class LlrbNode : public SortedMapBase {
 public:
  using first_type = K;
  using second_type = V;
  using value_type = std::pair<K, V>;

  enum Color : uint32_t {
    Black = 0u,
    Red = 1u,
  };

  struct Rep {
    Rep(const value_type& entry, uint32_t size_color, LlrbNode left, LlrbNode right)
        : entry_(entry), size_color_(size_color), left_(Adopt(left)), right_(Adopt(right)) {}
    Rep(const Rep&) = delete;
    Rep& operator=(const Rep&) = delete;

    size_type size() const { return size_color_ >> 1; }
    uint32_t color() const { return size_color_ & 1u; }
    bool empty() const { return size_color_ < 2; }

    value_type entry_;
    // Bit 0: colour (1 red). Bits 1 to 31: entries in this subtree.
    uint32_t size_color_;
    LlrbNode left_;
    LlrbNode right_;
    // Shared references to this representation; atomic, so that maps sharing it may live on
    // different threads.
    std::atomic<uint32_t> ref_count_{1};
  };

  // The shared empty node.
  LlrbNode() : rep_(EmptyRep()) {}

  LlrbNode(const LlrbNode& other) : rep_(other.rep_) { Retain(rep_); }
  // A moved-from node is the empty node.
  LlrbNode(LlrbNode&& other) noexcept : rep_(other.rep_) { other.rep_ = EmptyRep(); }
  ~LlrbNode() { Release(rep_); }

  LlrbNode& operator=(const LlrbNode& other) {
    Retain(other.rep_);
    Release(rep_);
    rep_ = other.rep_;
    return *this;
  }

  LlrbNode& operator=(LlrbNode&& other) noexcept {
    if (this != &other) {
      Release(rep_);
      rep_ = other.rep_;
      other.rep_ = EmptyRep();
    }
    return *this;
  }

  // A node with the given entry and children; its size is computed here from the children.
  static LlrbNode Create(const value_type& entry, Color color, LlrbNode left, LlrbNode right) {
    size_type size = left.size() + right.size() + 1;
    return LlrbNode(new Rep(entry, (size << 1) | color, std::move(left), std::move(right)));
  }

  size_type size() const { return rep_->size(); }
  bool empty() const { return rep_->empty(); }
  Color color() const { return static_cast<Color>(rep_->color()); }
  bool red() const { return rep_->color() == Red; }

  const value_type& entry() const { return rep_->entry_; }
  const K& key() const { return rep_->entry_.first; }
  const V& value() const { return rep_->entry_.second; }
  const LlrbNode& left() const { return rep_->left_; }
  const LlrbNode& right() const { return rep_->right_; }

  // The representation, for iterators and for checks that two nodes are the same one.
  const Rep* rep() const { return rep_; }

  // Returns the root of a tree that also holds (key, value); this tree is unchanged.
  template <typename C>
  LlrbNode insert(const K& key, const V& value, const C& comparator) const {
    LlrbNode root = InnerInsert(key, value, comparator);
    if (root.red()) root.set_color(Black);
    return root;
  }

  // Returns the root of a tree without key; this tree is unchanged.
  template <typename C>
  LlrbNode erase(const K& key, const C& comparator) const {
    LlrbNode root = InnerErase(key, comparator);
    if (root.red()) root.set_color(Black);
    return root;
  }

 private:
  // Adopts a reference already counted for it.
  explicit LlrbNode(Rep* rep) : rep_(rep) {}

  // Takes over the node's reference, leaving it without one (it is about to be destroyed).
  static LlrbNode Adopt(LlrbNode& node) {
    Rep* rep = node.rep_;
    node.rep_ = nullptr;
    return LlrbNode(rep);
  }

  // The empty node is not counted: it lives as long as the process.
  static void Retain(Rep* rep) {
    if (rep && !rep->empty()) rep->ref_count_.fetch_add(1, std::memory_order_relaxed);
  }

  static void Release(Rep* rep) {
    if (rep && !rep->empty() && rep->ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete rep;
    }
  }

  // One empty node per key/value type, whose children are itself; made once, never released.
  static Rep* EmptyRep() {
    static Rep* const empty = [] {
      Rep* rep = new Rep(value_type(), 0u, LlrbNode(nullptr), LlrbNode(nullptr));
      rep->left_.rep_ = rep;
      rep->right_.rep_ = rep;
      return rep;
    }();
    return empty;
  }

  // A fresh representation with this node's entry, colour, size and (shared) children. The empty
  // node is never copied.
  LlrbNode Clone() const {
    if (empty()) return *this;
    return LlrbNode(new Rep(rep_->entry_, rep_->size_color_, rep_->left_, rep_->right_));
  }

  // A fresh copy of this node with new children.
  LlrbNode CloneWith(LlrbNode left, LlrbNode right) const {
    return LlrbNode(new Rep(rep_->entry_, rep_->size_color_, std::move(left), std::move(right)));
  }

  // The mutators below apply only to fresh representations that no map can reach yet.
  Rep& fresh() const { return *rep_; }
  void set_color(Color color) { rep_->size_color_ = (rep_->size_color_ & ~1u) | color; }
  void set_size(size_type size) { rep_->size_color_ = (size << 1) | rep_->color(); }
  void set_entry(const value_type& entry) { rep_->entry_ = entry; }
  void set_left(LlrbNode left) { rep_->left_ = std::move(left); }
  void set_right(LlrbNode right) { rep_->right_ = std::move(right); }

  template <typename C>
  LlrbNode InnerInsert(const K& key, const V& value, const C& comparator) const {
    if (empty()) {
      return Create(value_type(key, value), Red, LlrbNode(), LlrbNode());
    }
    // The copy of this node on the path gets the new child directly.
    if (comparator(key, this->key())) {
      LlrbNode n = CloneWith(left().InnerInsert(key, value, comparator), right());
      n.Balance();
      return n;
    }
    if (comparator(this->key(), key)) {
      LlrbNode n = CloneWith(left(), right().InnerInsert(key, value, comparator));
      n.Balance();
      return n;
    }
    // Same key: a set keeps the key it already holds.
    LlrbNode n = Clone();
    n.fresh().entry_.second = value;
    return n;
  }

  template <typename C>
  LlrbNode InnerErase(const K& key, const C& comparator) const {
    if (empty()) return *this;
    LlrbNode n = Clone();
    if (comparator(key, n.key())) {
      if (!n.left().empty() && !n.left().red() && !n.left().left().red()) {
        n.MoveRedLeft();
      }
      n.set_left(n.left().InnerErase(key, comparator));
    } else {
      if (n.left().red()) n.RotateRight();
      if (!n.right().empty() && !n.right().red() && !n.right().left().red()) {
        n.MoveRedRight();
      }
      if (internal::CompareKeys(comparator, key, n.key()) != 0) {
        n.set_right(n.right().InnerErase(key, comparator));
      } else {
        if (n.right().empty()) return LlrbNode();
        const LlrbNode* smallest = &n.right();
        while (!smallest->left().empty()) smallest = &smallest->left();
        value_type entry = smallest->entry();
        n.set_right(RemoveMin(n.right().Clone()));
        n.set_entry(entry);
      }
    }
    n.Balance();
    return n;
  }

  static LlrbNode RemoveMin(LlrbNode n) {
    if (n.left().empty()) return LlrbNode();
    if (!n.left().red() && !n.left().left().red()) n.MoveRedLeft();
    n.set_left(RemoveMin(n.left().Clone()));
    n.Balance();
    return n;
  }

  void Balance() {
    set_size(left().size() + right().size() + 1);
    if (right().red() && !left().red()) RotateLeft();
    if (left().red() && left().left().red()) RotateRight();
    if (left().red() && right().red()) FlipColor();
  }

  // This node's entry moves down-left into a new red node; the right child's entry moves up.
  void RotateLeft() {
    LlrbNode new_left = Create(entry(), Red, left(), right().left());
    LlrbNode old_right = right();
    set_entry(old_right.entry());
    set_left(std::move(new_left));
    set_right(old_right.right());
  }

  // This node's entry moves down-right into a new red node; the left child's entry moves up.
  void RotateRight() {
    LlrbNode new_right = Create(entry(), Red, left().right(), right());
    LlrbNode old_left = left();
    set_entry(old_left.entry());
    set_left(old_left.left());
    set_right(std::move(new_right));
  }

  void FlipColor() {
    set_color(red() ? Black : Red);
    set_left(left().WithFlippedColor());
    set_right(right().WithFlippedColor());
  }

  LlrbNode WithFlippedColor() const {
    if (empty()) return *this;
    LlrbNode n = Clone();
    n.set_color(red() ? Black : Red);
    return n;
  }

  void MoveRedLeft() {
    FlipColor();
    if (right().left().red()) {
      LlrbNode new_right = right().Clone();
      new_right.RotateRight();
      set_right(std::move(new_right));
      RotateLeft();
      FlipColor();
    }
  }

  void MoveRedRight() {
    FlipColor();
    if (left().left().red()) {
      RotateRight();
      FlipColor();
    }
  }

  Rep* rep_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_H_
