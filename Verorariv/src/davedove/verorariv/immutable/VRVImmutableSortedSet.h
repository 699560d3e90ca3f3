#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVIMMUTABLESORTEDSET_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVIMMUTABLESORTEDSET_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVImmutableSortedDictionary.h"
#include "davedove/verorariv/immutable/object_traits.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// A persistent sorted set of objects: the keys of a dictionary whose values are the null value.
template <typename T>
class VRVImmutableSortedSet : public std::enable_shared_from_this<VRVImmutableSortedSet<T>> {
 public:
  using Dictionary = VRVImmutableSortedDictionary<T, std::nullptr_t>;
  using DictionaryPtr = typename Dictionary::Ptr;
  using Comparator = typename Dictionary::Comparator;
  using EnumeratorPtr = typename Dictionary::EnumeratorPtr;
  using Ptr = std::shared_ptr<const VRVImmutableSortedSet>;
  // Called with an element and a stop flag that ends the walk when set.
  using Block = std::function<void(const T&, bool*)>;

  explicit VRVImmutableSortedSet(DictionaryPtr dictionary) : dictionary_(std::move(dictionary)) {}

  static Ptr setWithComparator(const Comparator& comparator) {
    return setWithKeysFromDictionary({}, comparator);
  }

  // The given keys as elements; raises as the dictionary does for keys that compare the same.
  static Ptr setWithKeysFromDictionary(const std::vector<T>& keys, const Comparator& comparator) {
    typename Dictionary::Entries entries;
    entries.reserve(keys.size());
    for (const T& key : keys) entries.emplace_back(key, nullptr);
    return std::make_shared<const VRVImmutableSortedSet>(
        Dictionary::dictionaryWithDictionary(entries, comparator));
  }

  bool containsObject(const T& object) const { return dictionary_->containsKey(object); }

  Ptr setByAddingObject(const T& object) const {
    return WithDictionary(dictionary_->dictionaryBySettingObject(nullptr, object));
  }

  Ptr setByRemovingObject(const T& object) const {
    return WithDictionary(dictionary_->dictionaryByRemovingObjectForKey(object));
  }

  std::optional<T> firstObject() const { return dictionary_->minKey(); }
  std::optional<T> lastObject() const { return dictionary_->maxKey(); }
  uint64_t indexOfObject(const T& object) const { return dictionary_->indexOfKey(object); }
  uint64_t count() const { return dictionary_->count(); }
  bool isEmpty() const { return dictionary_->isEmpty(); }

  void enumerateObjectsUsingBlock(const Block& block) const {
    enumerateObjectsReverse(false, block);
  }

  void enumerateObjectsReverse(bool reverse, const Block& block) const {
    dictionary_->enumerateKeysAndObjectsReverse(
        reverse, [&block](const T& key, const std::nullptr_t&, bool* stop) { block(key, stop); });
  }

  // Start inclusive, end exclusive.
  void enumerateObjectsFrom(const T& start, const std::optional<T>& end, const Block& block) const {
    EnumeratorPtr enumerator = dictionary_->keyEnumeratorFrom(start, end);
    while (std::optional<T> next = enumerator->nextObject()) {
      bool stop = false;
      block(*next, &stop);
      if (stop) break;
    }
  }

  EnumeratorPtr objectEnumerator() const { return dictionary_->keyEnumerator(); }
  EnumeratorPtr objectEnumeratorFrom(const T& start) const {
    return dictionary_->keyEnumeratorFrom(start);
  }

  bool isEqual(const VRVImmutableSortedSet& other) const {
    return this == &other || dictionary_->isEqual(*other.dictionary_);
  }
  friend bool operator==(const VRVImmutableSortedSet& a, const VRVImmutableSortedSet& b) {
    return a.isEqual(b);
  }
  friend bool operator!=(const VRVImmutableSortedSet& a, const VRVImmutableSortedSet& b) {
    return !a.isEqual(b);
  }

  uint64_t Hash() const { return dictionary_->Hash(); }

  std::string ToString() const {
    std::string text = "VRVImmutableSortedSet ( ";
    bool first = true;
    enumerateObjectsUsingBlock([&](const T& object, bool*) {
      if (!first) text += ", ";
      first = false;
      text += internal::ObjectDescription(object);
    });
    text += " )";
    return text;
  }

  const DictionaryPtr& dictionary() const { return dictionary_; }

 private:
  // This very set when the dictionary did not change.
  Ptr WithDictionary(DictionaryPtr dictionary) const {
    if (dictionary == dictionary_) return this->shared_from_this();
    return std::make_shared<const VRVImmutableSortedSet>(std::move(dictionary));
  }

  DictionaryPtr dictionary_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVIMMUTABLESORTEDSET_H_
