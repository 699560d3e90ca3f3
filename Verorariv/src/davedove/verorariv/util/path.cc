#include "davedove/verorariv/util/path.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

// The name without its trailing slashes, unless nothing but slashes would be left.
absl::string_view StripTrailingSlashes(absl::string_view name) {
  size_t last = name.find_last_not_of('/');
  if (last == absl::string_view::npos) return name;
  return name.substr(0, last + 1);
}

}  // namespace

Path Path::FromUtf8(absl::string_view utf8_pathname) {
  if (utf8_pathname.data() == nullptr) return Path();
  return Path(std::string(utf8_pathname));
}

Path Path::Basename() const {
  size_t slash = pathname_.rfind('/');
  if (slash == std::string::npos) return *this;
  return Path(pathname_.substr(slash + 1));
}

Path Path::Dirname() const {
  size_t slash = pathname_.rfind('/');
  if (slash == std::string::npos) return Path();

  size_t end = pathname_.find_last_not_of('/', slash);
  if (end == std::string::npos) {
    // Only slashes before the last one: the root.
    return Path("/");
  }
  return Path(pathname_.substr(0, end + 1));
}

bool Path::IsAbsolute() const { return !pathname_.empty() && pathname_[0] == '/'; }

Path Path::AppendUtf8(absl::string_view segment) const {
  Path result(*this);
  result.MutableAppendUtf8Segment(segment);
  return result;
}

void Path::MutableAppendSegment(const char* segment, size_t size) {
  absl::string_view seg(segment, segment ? size : 0);
  if (!seg.empty() && seg[0] == '/') {
    pathname_.assign(seg.data(), seg.size());
    return;
  }
  if (pathname_.empty()) {
    pathname_.assign(seg.data(), seg.size());
    return;
  }
  size_t last = pathname_.find_last_not_of('/');
  if (last != std::string::npos) {
    pathname_.resize(last + 1);
    pathname_.push_back('/');
  }
  pathname_.append(seg.data(), seg.size());
}

void Path::MutableAppendUtf8Segment(absl::string_view segment) {
  MutableAppendSegment(segment.data(), segment.size());
}

bool operator==(const Path& lhs, const Path& rhs) {
  return StripTrailingSlashes(lhs.pathname_) == StripTrailingSlashes(rhs.pathname_);
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
