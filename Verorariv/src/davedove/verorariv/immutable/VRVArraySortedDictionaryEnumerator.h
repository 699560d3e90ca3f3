#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_VRVARRAYSORTEDDICTIONARYENUMERATOR_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_VRVARRAYSORTEDDICTIONARYENUMERATOR_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVKeyEnumerator.h"

namespace davedove {
namespace verorariv {
namespace immutable {

// Walks keys[start] towards end (exclusive), forward or in reverse. Keeps the key array alive.
template <typename K>
class VRVArraySortedDictionaryEnumerator : public VRVKeyEnumerator<K> {
 public:
  VRVArraySortedDictionaryEnumerator(std::shared_ptr<const std::vector<K>> keys, int32_t start,
                                     int32_t end, bool reverse)
      : keys_(std::move(keys)), start_(start), end_(end), pos_(start), reverse_(reverse) {}

  std::optional<K> nextObject() override {
    if (pos_ < 0 || static_cast<size_t>(pos_) >= keys_->size()) return std::nullopt;
    if (reverse_ ? pos_ <= end_ : pos_ >= end_) return std::nullopt;
    const K& result = (*keys_)[static_cast<size_t>(pos_)];
    pos_ += reverse_ ? -1 : 1;
    return result;
  }

 private:
  std::shared_ptr<const std::vector<K>> keys_;
  int32_t start_;
  int32_t end_;
  int32_t pos_;
  bool reverse_;
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_VRVARRAYSORTEDDICTIONARYENUMERATOR_H_
