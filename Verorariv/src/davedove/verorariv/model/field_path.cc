#include "davedove/verorariv/model/field_path.h"

#include <mutex>

#include "absl/strings/str_join.h"
#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace model {

namespace {

const char kKeyFieldName[] = "__name__";

bool IsAsciiLetterOrUnderscore(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool IsIdentifier(const std::string& segment) {
  if (segment.empty() || !IsAsciiLetterOrUnderscore(segment[0])) return false;
  for (size_t i = 1; i < segment.size(); ++i) {
    if (!IsAsciiLetterOrUnderscore(segment[i]) && !IsAsciiDigit(segment[i])) return false;
  }
  return true;
}

std::string EscapedSegment(const std::string& segment) {
  std::string escaped;
  escaped.reserve(segment.size() + 2);
  for (char c : segment) {
    if (c == '\\' || c == '`') escaped.push_back('\\');
    escaped.push_back(c);
  }
  if (!IsIdentifier(escaped)) {
    escaped.insert(escaped.begin(), '`');
    escaped.push_back('`');
  }
  return escaped;
}

}  // namespace

FieldPath FieldPath::FromServerFormat(absl::string_view path) {
  SegmentsT segments;
  std::string segment;
  segment.reserve(path.size());

  auto finish_segment = [&segments, &segment, path] {
    HARD_ASSERT(!segment.empty(),
                "Invalid field path (%s). Paths must not be empty, begin with '.', end with '.', "
                "or contain '..'",
                path);
    segments.push_back(std::move(segment));
    segment.clear();
  };

  bool inside_backticks = false;
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '\0') break;
    switch (c) {
      case '\\':
        HARD_ASSERT(i + 1 != path.size(), "Trailing escape characters not allowed in %s", path);
        ++i;
        segment.push_back(path[i]);
        break;
      case '`':
        inside_backticks = !inside_backticks;
        break;
      case '.':
        if (inside_backticks) {
          segment.push_back(c);
        } else {
          finish_segment();
        }
        break;
      default:
        segment.push_back(c);
        break;
    }
  }
  finish_segment();

  HARD_ASSERT(!inside_backticks, "Unterminated ` in path %s", path);
  return FieldPath{std::move(segments)};
}

const FieldPath& FieldPath::EmptyPath() {
  static std::once_flag once;
  static const FieldPath* empty_path = nullptr;
  std::call_once(once, [] { empty_path = new FieldPath(); });
  return *empty_path;
}

const FieldPath& FieldPath::KeyFieldPath() {
  static std::once_flag once;
  static const FieldPath* key_field_path = nullptr;
  std::call_once(once, [] { key_field_path = new FieldPath{kKeyFieldName}; });
  return *key_field_path;
}

bool FieldPath::IsKeyFieldPath() const { return size() == 1 && first_segment() == kKeyFieldName; }

std::string FieldPath::CanonicalString() const {
  return absl::StrJoin(segments(), ".", [](std::string* out, const std::string& segment) {
    out->append(EscapedSegment(segment));
  });
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
