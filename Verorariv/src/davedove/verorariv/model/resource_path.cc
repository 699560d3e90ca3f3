#include "davedove/verorariv/model/resource_path.h"

#include "absl/strings/str_join.h"
#include "absl/strings/str_split.h"
#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace model {

ResourcePath ResourcePath::FromString(absl::string_view path) {
  HARD_ASSERT(path.find("//") == std::string::npos,
              "Invalid path (%s). Paths must not contain // in them.", path);

  SegmentsT segments;
  for (absl::string_view piece : absl::StrSplit(path, '/', absl::SkipEmpty())) {
    segments.emplace_back(piece);
  }
  return ResourcePath{std::move(segments)};
}

std::string ResourcePath::CanonicalString() const { return absl::StrJoin(segments(), "/"); }

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
