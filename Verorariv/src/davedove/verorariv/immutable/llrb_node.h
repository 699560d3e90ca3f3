#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_LLRB_NODE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "davedove/verorariv/immutable/node_cache.h"
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

    // Every insert allocates a path of nodes and dropping the previous version frees one.
    static void* operator new(std::size_t size) {
      static_assert(alignof(Rep) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "cached blocks are plain");
      if (size != sizeof(Rep)) return ::operator new(size);
      return NodeCache<sizeof(Rep)>::Allocate();
    }
    static void operator delete(void* pointer, std::size_t size) {
      if (size != sizeof(Rep)) {
        ::operator delete(pointer);
        return;
      }
      NodeCache<sizeof(Rep)>::Deallocate(pointer);
    }

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
    // Set while the operation that made this representation runs, before any other map can reach
    // it; cleared by Publish. Never written once cleared.
    bool fresh_ = false;
  };

  // The shared empty node.
  LlrbNode() : rep_(EmptyRep()) {}

  LlrbNode(const LlrbNode& other) : rep_(other.rep_) { Retain(rep_); }
  // A moved-from node is the empty node.
  LlrbNode(LlrbNode&& other) noexcept : rep_(other.rep_) { other.rep_ = EmptyRep(); }
  ~LlrbNode() { Release(rep_); }

  // The old representation is released last: it may hold the one assigned from.
  LlrbNode& operator=(const LlrbNode& other) {
    Rep* old = rep_;
    rep_ = other.rep_;
    Retain(rep_);
    Release(old);
    return *this;
  }

  LlrbNode& operator=(LlrbNode&& other) noexcept {
    if (this != &other) {
      Rep* old = rep_;
      rep_ = other.rep_;
      other.rep_ = EmptyRep();
      Release(old);
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
    Publish(root.rep_);
    return root;
  }

  // Returns the root of a tree without key; this tree is unchanged.
  template <typename C>
  LlrbNode erase(const K& key, const C& comparator) const {
    LlrbNode root = InnerErase(key, comparator);
    if (root.red()) root.set_color(Black);
    Publish(root.rep_);
    return root;
  }

 private:
  template <typename, typename, typename>
  friend class TreeSortedMap;

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

  // A count of one is the caller's own reference: nobody else can reach the representation to
  // raise it, so the decrement can be skipped. The acquire pairs with other owners' releases.
  static void Release(Rep* rep) {
    if (!rep || rep->empty()) return;
    if (rep->ref_count_.load(std::memory_order_acquire) == 1 ||
        rep->ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
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

  // A representation made by the running operation, which may write it until Publish.
  static LlrbNode Fresh(const value_type& entry, uint32_t size_color, LlrbNode left,
                        LlrbNode right) {
    Rep* rep = new Rep(entry, size_color, std::move(left), std::move(right));
    rep->fresh_ = true;
    return LlrbNode(rep);
  }

  // Marks every representation the operation made as shared. They hang together from the root,
  // since no earlier tree can point to them.
  static void Publish(Rep* rep) {
    while (rep->fresh_) {
      rep->fresh_ = false;
      Publish(rep->left_.rep_);
      rep = rep->right_.rep_;
    }
  }

  // Whether the running operation may write this representation in place: it made it, and this
  // is the only reference.
  bool owned() const {
    return rep_->fresh_ && rep_->ref_count_.load(std::memory_order_relaxed) == 1;
  }

  // A fresh representation with this node's entry, colour, size and (shared) children. The empty
  // node is never copied.
  LlrbNode Clone() const {
    if (empty()) return *this;
    return Fresh(rep_->entry_, rep_->size_color_, rep_->left_, rep_->right_);
  }

  // Makes this node writable: a shared representation is replaced by a fresh copy.
  void MakeOwned() {
    if (!empty() && !owned()) *this = Clone();
  }

  // The mutators below apply only to representations this operation owns.
  void set_color(Color color) { rep_->size_color_ = (rep_->size_color_ & ~1u) | color; }
  void set_size(size_type size) { rep_->size_color_ = (size << 1) | rep_->color(); }
  void set_entry(const value_type& entry) { rep_->entry_ = entry; }
  void set_left(LlrbNode left) { rep_->left_ = std::move(left); }
  void set_right(LlrbNode right) { rep_->right_ = std::move(right); }

  // Copies the search path; every node on it is a fresh copy that gets the new child directly.
  template <typename C>
  LlrbNode InnerInsert(const K& key, const V& value, const C& comparator) const {
    if (empty()) {
      return Fresh(value_type(key, value), (1u << 1) | Red, LlrbNode(), LlrbNode());
    }
    // The copy will share the other child, counting and reading it on the way back up: fetching
    // it now overlaps that miss with the walk down.
    if (comparator(key, this->key())) {
      __builtin_prefetch(right().rep_, 1);
      LlrbNode child = left().InnerInsert(key, value, comparator);
      LlrbNode n = Fresh(entry(), rep_->size_color_, std::move(child), right());
      n.Balance();
      return n;
    }
    if (comparator(this->key(), key)) {
      __builtin_prefetch(left().rep_, 1);
      LlrbNode child = right().InnerInsert(key, value, comparator);
      LlrbNode n = Fresh(entry(), rep_->size_color_, left(), std::move(child));
      n.Balance();
      return n;
    }
    // Same key: a set keeps the key it already holds.
    LlrbNode n = Clone();
    n.rep_->entry_.second = value;
    return n;
  }

  // Inserts into the tree held here, writing the nodes this operation owns in place and copying
  // the path below the first shared one. Used to build a tree entry by entry before it is shared.
  template <typename C>
  void InsertOwned(const K& key, const V& value, const C& comparator) {
    if (!empty() && !owned()) {
      *this = InnerInsert(key, value, comparator);
      return;
    }
    if (empty()) {
      *this = Fresh(value_type(key, value), (1u << 1) | Red, LlrbNode(), LlrbNode());
      return;
    }
    if (comparator(key, this->key())) {
      rep_->left_.InsertOwned(key, value, comparator);
      Balance();
    } else if (comparator(this->key(), key)) {
      rep_->right_.InsertOwned(key, value, comparator);
      Balance();
    } else {
      rep_->entry_.second = value;
    }
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
        LlrbNode right = std::move(n.rep_->right_);
        right.MakeOwned();
        n.set_right(RemoveMin(std::move(right)));
        n.set_entry(entry);
      }
    }
    n.Balance();
    return n;
  }

  // n is owned by the running operation.
  static LlrbNode RemoveMin(LlrbNode n) {
    if (n.left().empty()) return LlrbNode();
    if (!n.left().red() && !n.left().left().red()) n.MoveRedLeft();
    LlrbNode left = std::move(n.rep_->left_);
    left.MakeOwned();
    n.set_left(RemoveMin(std::move(left)));
    n.Balance();
    return n;
  }

  void Balance() {
    set_size(left().size() + right().size() + 1);
    if (right().red() && !left().red()) RotateLeft();
    if (left().red() && left().left().red()) RotateRight();
    if (left().red() && right().red()) FlipColor();
  }

  // This node's entry moves down-left into a new red node; the right child's entry moves up. An
  // owned right child is reused as that new node.
  void RotateLeft() {
    LlrbNode old_right = std::move(rep_->right_);
    if (old_right.owned()) {
      Rep& moved = *old_right.rep_;
      using std::swap;
      swap(rep_->entry_, moved.entry_);
      LlrbNode outer = std::move(moved.right_);
      moved.right_ = std::move(moved.left_);
      moved.left_ = std::move(rep_->left_);
      moved.size_color_ = ((moved.left_.size() + moved.right_.size() + 1) << 1) | Red;
      rep_->left_ = std::move(old_right);
      rep_->right_ = std::move(outer);
      return;
    }
    LlrbNode new_left = Fresh(entry(), 0u, std::move(rep_->left_), old_right.left());
    new_left.rep_->size_color_ = ((new_left.left().size() + new_left.right().size() + 1) << 1) | Red;
    set_entry(old_right.entry());
    set_left(std::move(new_left));
    set_right(old_right.right());
  }

  // This node's entry moves down-right into a new red node; the left child's entry moves up. An
  // owned left child is reused as that new node.
  void RotateRight() {
    LlrbNode old_left = std::move(rep_->left_);
    if (old_left.owned()) {
      Rep& moved = *old_left.rep_;
      using std::swap;
      swap(rep_->entry_, moved.entry_);
      LlrbNode outer = std::move(moved.left_);
      moved.left_ = std::move(moved.right_);
      moved.right_ = std::move(rep_->right_);
      moved.size_color_ = ((moved.left_.size() + moved.right_.size() + 1) << 1) | Red;
      rep_->right_ = std::move(old_left);
      rep_->left_ = std::move(outer);
      return;
    }
    LlrbNode new_right = Fresh(entry(), 0u, old_left.right(), std::move(rep_->right_));
    new_right.rep_->size_color_ =
        ((new_right.left().size() + new_right.right().size() + 1) << 1) | Red;
    set_entry(old_left.entry());
    set_left(old_left.left());
    set_right(std::move(new_right));
  }

  void FlipColor() {
    rep_->size_color_ ^= 1u;
    rep_->left_.FlipOwnColor();
    rep_->right_.FlipOwnColor();
  }

  // Inverts the colour of a child, copying it first unless the operation owns it.
  void FlipOwnColor() {
    if (empty()) return;
    MakeOwned();
    rep_->size_color_ ^= 1u;
  }

  void MoveRedLeft() {
    FlipColor();
    if (right().left().red()) {
      rep_->right_.MakeOwned();
      rep_->right_.RotateRight();
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
