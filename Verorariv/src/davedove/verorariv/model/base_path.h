#ifndef DAVEDOVE_VERORARIV_MODEL_BASE_PATH_H_
#define DAVEDOVE_VERORARIV_MODEL_BASE_PATH_H_

#include <algorithm>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace impl {

// Common base of the path kinds: an immutable sequence of segments. Every operation that would
// change the path returns a new T.
template <typename T>
class BasePath {
 public:
  using SegmentsT = std::vector<std::string>;
  using const_iterator = SegmentsT::const_iterator;

  size_t size() const { return segments_.size(); }
  bool empty() const { return segments_.empty(); }

  const std::string& operator[](size_t i) const {
    HARD_ASSERT(i < segments_.size(), "index %s out of range", i);
    return segments_[i];
  }

  const std::string& first_segment() const {
    HARD_ASSERT(!empty(), "Cannot call first_segment on empty path");
    return segments_.front();
  }

  const std::string& last_segment() const {
    HARD_ASSERT(!empty(), "Cannot call last_segment on empty path");
    return segments_.back();
  }

  const_iterator begin() const { return segments_.begin(); }
  const_iterator end() const { return segments_.end(); }

  T PopFirst(size_t n = 1) const {
    HARD_ASSERT(n <= size(), "Cannot call PopFirst(%s) on path of length %s", n, size());
    return T{segments_.begin() + static_cast<std::ptrdiff_t>(n), segments_.end()};
  }

  T PopLast() const {
    HARD_ASSERT(!empty(), "Cannot call PopLast() on empty path");
    return T{segments_.begin(), segments_.end() - 1};
  }

  T Append(const std::string& segment) const {
    SegmentsT appended = segments_;
    appended.push_back(segment);
    return T{std::move(appended)};
  }

  T Append(std::string&& segment) const {
    SegmentsT appended = segments_;
    appended.push_back(std::move(segment));
    return T{std::move(appended)};
  }

  T Append(const T& path) const {
    SegmentsT appended = segments_;
    appended.insert(appended.end(), path.begin(), path.end());
    return T{std::move(appended)};
  }

  bool IsPrefixOf(const T& other) const {
    return size() <= other.size() && std::equal(begin(), end(), other.begin());
  }

  bool operator==(const BasePath& rhs) const { return segments_ == rhs.segments_; }
  bool operator!=(const BasePath& rhs) const { return segments_ != rhs.segments_; }
  // Segment by segment, each compared bytewise; a proper prefix sorts first.
  bool operator<(const BasePath& rhs) const { return segments_ < rhs.segments_; }
  bool operator>(const BasePath& rhs) const { return rhs < *this; }
  bool operator<=(const BasePath& rhs) const { return !(rhs < *this); }
  bool operator>=(const BasePath& rhs) const { return !(*this < rhs); }

  // h = 31 * h + hash(segment) for each segment, then 31 * h + size; the empty path gives 0.
  size_t Hash() const {
    std::hash<std::string> hash_segment;
    size_t result = 0;
    for (const std::string& segment : segments_) {
      result = 31 * result + hash_segment(segment);
    }
    return 31 * result + segments_.size();
  }

 protected:
  BasePath() = default;
  template <typename IterT>
  BasePath(IterT begin, IterT end) : segments_(begin, end) {}
  BasePath(std::initializer_list<std::string> list) : segments_(list) {}
  explicit BasePath(SegmentsT&& segments) : segments_(std::move(segments)) {}

  const SegmentsT& segments() const { return segments_; }

 private:
  SegmentsT segments_;
};

}  // namespace impl
}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_BASE_PATH_H_
