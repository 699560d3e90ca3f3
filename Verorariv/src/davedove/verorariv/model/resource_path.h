#ifndef DAVEDOVE_VERORARIV_MODEL_RESOURCE_PATH_H_
#define DAVEDOVE_VERORARIV_MODEL_RESOURCE_PATH_H_

#include <initializer_list>
#include <string>
#include <utility>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/model/base_path.h"

namespace davedove {
namespace verorariv {
namespace model {

// Slash-separated path of a collection (odd segment count) or a document (even segment count),
// relative to the database root.
class ResourcePath : public impl::BasePath<ResourcePath> {
 public:
  ResourcePath() = default;
  template <typename IterT>
  ResourcePath(IterT begin, IterT end) : BasePath{begin, end} {}
  ResourcePath(std::initializer_list<std::string> list) : BasePath{list} {}
  explicit ResourcePath(SegmentsT&& segments) : BasePath{std::move(segments)} {}

  // Splits at "/", ignoring empty pieces; "//" anywhere stops the process.
  static ResourcePath FromString(absl::string_view path);

  // Segments joined with "/", no leading or trailing slash.
  std::string CanonicalString() const;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_RESOURCE_PATH_H_
