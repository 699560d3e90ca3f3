#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVIMMUTABLESORTEDDICTIONARY_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVIMMUTABLESORTEDDICTIONARY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVKeyEnumerator.h"
#include "davedove/verorariv/immutable/object_traits.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// The largest number of entries the array form holds when built by the cluster's own operations.
constexpr int32_t kSortedDictionaryArrayToRBTreeSizeThreshold = 25;

// The index that means not found (2^63 - 1).
constexpr uint64_t kVRVNotFound = 0x7FFFFFFFFFFFFFFFull;

namespace internal {

// Raises the internal-inconsistency exception "You must override <method> in a subclass".
[[noreturn]] void RaiseMustOverride(const std::string& method);

// Raises the invalid-argument exception for two keys that compare the same.
[[noreturn]] void RaiseKeysWithSameOrdering();

}  // namespace internal

template <typename K, typename V>
class VRVArraySortedDictionary;
template <typename K, typename V>
class VRVTreeSortedDictionary;

// Persistent sorted map from object keys to object values under a comparator callback. Values of
// the class are always held as std::shared_ptr<const VRVImmutableSortedDictionary>; every change
// returns a new dictionary, or this very one when nothing changes.
template <typename K, typename V>
class VRVImmutableSortedDictionary
    : public std::enable_shared_from_this<VRVImmutableSortedDictionary<K, V>> {
 public:
  using Comparator = std::function<util::ComparisonResult(const K&, const K&)>;
  using Ptr = std::shared_ptr<const VRVImmutableSortedDictionary>;
  // A platform dictionary's entries in its enumeration order.
  using Entries = std::vector<std::pair<K, V>>;
  using EnumeratorPtr = std::unique_ptr<VRVKeyEnumerator<K>>;
  // Called with key, value and a stop flag that ends the walk when set.
  using Block = std::function<void(const K&, const V&, bool*)>;

  virtual ~VRVImmutableSortedDictionary() = default;

  static Ptr dictionaryWithComparator(const Comparator& comparator) {
    return VRVArraySortedDictionary<K, V>::dictionaryWithComparator(comparator);
  }

  // Up to 25 entries the array form, else the tree form.
  static Ptr dictionaryWithDictionary(const Entries& dictionary, const Comparator& comparator) {
    if (dictionary.size() <= static_cast<size_t>(kSortedDictionaryArrayToRBTreeSizeThreshold)) {
      return VRVArraySortedDictionary<K, V>::dictionaryWithDictionary(dictionary, comparator);
    }
    return VRVTreeSortedDictionary<K, V>::dictionaryWithDictionary(dictionary, comparator);
  }

  virtual Ptr dictionaryBySettingObject(const V& object, const K& key) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary dictionaryBySettingObject:forKey:]");
  }
  virtual Ptr dictionaryByRemovingObjectForKey(const K& key) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary dictionaryByRemovingObjectForKey:]");
  }
  virtual std::optional<V> objectForKey(const K& key) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary objectForKey:]");
  }
  std::optional<V> objectForKeyedSubscript(const K& key) const { return objectForKey(key); }
  virtual uint64_t indexOfKey(const K& key) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary indexOfKey:]");
  }
  virtual bool isEmpty() const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary isEmpty]");
  }
  virtual uint64_t count() const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary count]");
  }
  virtual std::optional<K> minKey() const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary minKey]");
  }
  virtual std::optional<K> maxKey() const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary maxKey]");
  }
  virtual void enumerateKeysAndObjectsUsingBlock(const Block& block) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary enumerateKeysAndObjectsUsingBlock:]");
  }
  virtual void enumerateKeysAndObjectsReverse(bool reverse, const Block& block) const {
    internal::RaiseMustOverride(
        "-[VRVImmutableSortedDictionary enumerateKeysAndObjectsReverse:usingBlock:]");
  }
  virtual bool containsKey(const K& key) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary containsKey:]");
  }
  virtual EnumeratorPtr keyEnumerator() const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary keyEnumerator]");
  }
  virtual EnumeratorPtr keyEnumeratorFrom(const K& start) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary keyEnumeratorFrom:]");
  }
  // Start inclusive, end exclusive; no end walks to the last key.
  virtual EnumeratorPtr keyEnumeratorFrom(const K& start, const std::optional<K>& end) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary keyEnumeratorFrom:to:]");
  }
  virtual EnumeratorPtr reverseKeyEnumerator() const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary reverseKeyEnumerator]");
  }
  virtual EnumeratorPtr reverseKeyEnumeratorFrom(const K& start) const {
    internal::RaiseMustOverride("-[VRVImmutableSortedDictionary reverseKeyEnumeratorFrom:]");
  }

  // Same count and every value the same as, or equal to, the other's value of the same key. The
  // comparators are not compared.
  bool isEqual(const VRVImmutableSortedDictionary& other) const {
    if (this == &other) return true;
    if (count() != other.count()) return false;
    bool equal = true;
    enumerateKeysAndObjectsUsingBlock([&](const K& key, const V& value, bool* stop) {
      std::optional<V> theirs = other.objectForKey(key);
      if (!theirs || !internal::ObjectEquals(value, *theirs)) {
        equal = false;
        *stop = true;
      }
    });
    return equal;
  }

  friend bool operator==(const VRVImmutableSortedDictionary& a,
                         const VRVImmutableSortedDictionary& b) {
    return a.isEqual(b);
  }
  friend bool operator!=(const VRVImmutableSortedDictionary& a,
                         const VRVImmutableSortedDictionary& b) {
    return !a.isEqual(b);
  }

  uint64_t Hash() const {
    uint64_t hash = 0;
    enumerateKeysAndObjectsUsingBlock([&](const K& key, const V& value, bool*) {
      hash = 17 * (31 * hash + internal::ObjectHash(key)) + internal::ObjectHash(value);
    });
    return hash;
  }

  std::string ToString() const {
    std::string text = "{ ";
    bool first = true;
    enumerateKeysAndObjectsUsingBlock([&](const K& key, const V& value, bool*) {
      if (!first) text += ", ";
      first = false;
      text += internal::ObjectDescription(key) + ": " + internal::ObjectDescription(value);
    });
    text += " }";
    return text;
  }

 protected:
  VRVImmutableSortedDictionary() = default;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#include "davedove/verorariv/immutable/VRVArraySortedDictionary.h"
#include "davedove/verorariv/immutable/VRVTreeSortedDictionary.h"

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVIMMUTABLESORTEDDICTIONARY_H_
