#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVARRAYSORTEDDICTIONARY_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVARRAYSORTEDDICTIONARY_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVArraySortedDictionaryEnumerator.h"
#include "davedove/verorariv/immutable/VRVImmutableSortedDictionary.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// The small form: parallel sorted arrays of keys and values, scanned linearly.
template <typename K, typename V>
class VRVArraySortedDictionary : public VRVImmutableSortedDictionary<K, V> {
 public:
  using Base = VRVImmutableSortedDictionary<K, V>;
  using typename Base::Block;
  using typename Base::Comparator;
  using typename Base::Entries;
  using typename Base::EnumeratorPtr;
  using typename Base::Ptr;
  using Keys = std::vector<K>;
  using Values = std::vector<V>;

  explicit VRVArraySortedDictionary(Comparator comparator)
      : VRVArraySortedDictionary(std::move(comparator), Keys(), Values()) {}

  VRVArraySortedDictionary(Comparator comparator, Keys keys, Values values)
      : comparator_(std::move(comparator)),
        keys_(std::make_shared<const Keys>(std::move(keys))),
        values_(std::make_shared<const Values>(std::move(values))) {}

  static Ptr dictionaryWithComparator(const Comparator& comparator) {
    return std::make_shared<const VRVArraySortedDictionary>(comparator);
  }

  // Raises when two keys compare the same.
  static Ptr dictionaryWithDictionary(const Entries& dictionary, const Comparator& comparator) {
    Entries sorted = dictionary;
    std::sort(sorted.begin(), sorted.end(), [&](const auto& a, const auto& b) {
      return comparator(a.first, b.first) == util::ComparisonResult::Ascending;
    });
    Keys keys;
    Values values;
    keys.reserve(sorted.size());
    values.reserve(sorted.size());
    for (size_t i = 1; i < sorted.size(); ++i) {
      if (comparator(sorted[i - 1].first, sorted[i].first) != util::ComparisonResult::Ascending) {
        internal::RaiseKeysWithSameOrdering();
      }
    }
    for (auto& entry : sorted) {
      keys.push_back(std::move(entry.first));
      values.push_back(std::move(entry.second));
    }
    return std::make_shared<const VRVArraySortedDictionary>(comparator, std::move(keys),
                                                            std::move(values));
  }

  Ptr dictionaryBySettingObject(const V& object, const K& key) const override {
    uint64_t index = findKey(&key);
    if (index != kVRVNotFound) {
      Keys keys = *keys_;
      Values values = *values_;
      keys[index] = key;
      values[index] = object;
      return std::make_shared<const VRVArraySortedDictionary>(comparator_, std::move(keys),
                                                              std::move(values));
    }
    if (keys_->size() >= static_cast<size_t>(kSortedDictionaryArrayToRBTreeSizeThreshold)) {
      Entries entries;
      entries.reserve(keys_->size() + 1);
      for (size_t i = 0; i < keys_->size(); ++i) {
        entries.emplace_back((*keys_)[i], (*values_)[i]);
      }
      entries.emplace_back(key, object);
      return VRVTreeSortedDictionary<K, V>::dictionaryWithDictionary(entries, comparator_);
    }
    size_t position = findInsertPositionForKey(key);
    Keys keys = *keys_;
    Values values = *values_;
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(position), key);
    values.insert(values.begin() + static_cast<std::ptrdiff_t>(position), object);
    return std::make_shared<const VRVArraySortedDictionary>(comparator_, std::move(keys),
                                                            std::move(values));
  }

  Ptr dictionaryByRemovingObjectForKey(const K& key) const override {
    uint64_t index = findKey(&key);
    if (index == kVRVNotFound) return this->shared_from_this();
    Keys keys = *keys_;
    Values values = *values_;
    keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(index));
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(index));
    return std::make_shared<const VRVArraySortedDictionary>(comparator_, std::move(keys),
                                                            std::move(values));
  }

  std::optional<V> objectForKey(const K& key) const override {
    uint64_t index = findKey(&key);
    if (index == kVRVNotFound) return std::nullopt;
    return (*values_)[index];
  }

  uint64_t indexOfKey(const K& key) const override { return findKey(&key); }
  bool isEmpty() const override { return keys_->empty(); }
  uint64_t count() const override { return keys_->size(); }

  std::optional<K> minKey() const override {
    if (keys_->empty()) return std::nullopt;
    return keys_->front();
  }

  std::optional<K> maxKey() const override {
    if (keys_->empty()) return std::nullopt;
    return keys_->back();
  }

  void enumerateKeysAndObjectsUsingBlock(const Block& block) const override {
    enumerateKeysAndObjectsReverse(false, block);
  }

  void enumerateKeysAndObjectsReverse(bool reverse, const Block& block) const override {
    bool stop = false;
    size_t n = keys_->size();
    for (size_t step = 0; step < n && !stop; ++step) {
      size_t i = reverse ? n - 1 - step : step;
      block((*keys_)[i], (*values_)[i], &stop);
    }
  }

  bool containsKey(const K& key) const override { return findKey(&key) != kVRVNotFound; }

  EnumeratorPtr keyEnumerator() const override {
    return Enumerator(0, static_cast<int32_t>(keys_->size()), false);
  }

  EnumeratorPtr keyEnumeratorFrom(const K& start) const override {
    return keyEnumeratorFrom(start, std::nullopt);
  }

  EnumeratorPtr keyEnumeratorFrom(const K& start, const std::optional<K>& end) const override {
    int32_t first = static_cast<int32_t>(findInsertPositionForKey(start));
    int32_t last = end ? static_cast<int32_t>(findInsertPositionForKey(*end))
                       : static_cast<int32_t>(keys_->size());
    return Enumerator(first, last, false);
  }

  EnumeratorPtr reverseKeyEnumerator() const override {
    return Enumerator(static_cast<int32_t>(keys_->size()) - 1, -1, true);
  }

  EnumeratorPtr reverseKeyEnumeratorFrom(const K& key) const override {
    size_t position = findInsertPositionForKey(key);
    int32_t start = static_cast<int32_t>(position);
    if (!(position < keys_->size() &&
          comparator_((*keys_)[position], key) == util::ComparisonResult::Same)) {
      start -= 1;
    }
    return Enumerator(start, -1, true);
  }

  const Comparator& comparator() const { return comparator_; }

 private:
  // Linear scan; stops early once the scanned keys sort after the key.
  uint64_t findKey(const K* key) const {
    if (key == nullptr) return kVRVNotFound;
    for (size_t i = 0; i < keys_->size(); ++i) {
      util::ComparisonResult result = comparator_(*key, (*keys_)[i]);
      if (result == util::ComparisonResult::Ascending) return kVRVNotFound;
      if (result == util::ComparisonResult::Same) return i;
    }
    return kVRVNotFound;
  }

  size_t findInsertPositionForKey(const K& key) const {
    size_t i = 0;
    while (i < keys_->size() &&
           comparator_((*keys_)[i], key) == util::ComparisonResult::Ascending) {
      ++i;
    }
    return i;
  }

  EnumeratorPtr Enumerator(int32_t start, int32_t end, bool reverse) const {
    return std::make_unique<VRVArraySortedDictionaryEnumerator<K>>(keys_, start, end, reverse);
  }

  Comparator comparator_;
  std::shared_ptr<const Keys> keys_;
  std::shared_ptr<const Values> values_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVARRAYSORTEDDICTIONARY_H_
