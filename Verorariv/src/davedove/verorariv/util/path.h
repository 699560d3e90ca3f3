#ifndef DAVEDOVE_VERORARIV_UTIL_PATH_H_
#define DAVEDOVE_VERORARIV_UTIL_PATH_H_

#include <cstddef>
#include <string>
#include <utility>

#include "absl/strings/string_view.h"

namespace davedove {
namespace verorariv {
namespace util {

// A file-system path name as UTF-8 bytes, with slash-aware joining and splitting. Never normalised.
class Path {
 public:
  Path() = default;

  static Path FromUtf8(absl::string_view utf8_pathname);

  const std::string& ToUtf8String() const { return pathname_; }

  // Everything after the last "/": the whole path without one, empty when the path ends in "/".
  Path Basename() const;

  // Everything before the last "/" and the slashes right before it; "/" for a path like "/a".
  Path Dirname() const;

  bool IsAbsolute() const;

  // This path with `segment` appended; an absolute segment replaces the path.
  Path AppendUtf8(absl::string_view segment) const;

  void MutableAppendSegment(const char* segment, size_t size);
  void MutableAppendUtf8Segment(absl::string_view segment);

  // Equal names once trailing slashes are removed; a name of slashes only is compared whole.
  friend bool operator==(const Path& lhs, const Path& rhs);
  friend bool operator!=(const Path& lhs, const Path& rhs) { return !(lhs == rhs); }

 private:
  explicit Path(std::string pathname) : pathname_(std::move(pathname)) {}

  std::string pathname_;
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_PATH_H_
