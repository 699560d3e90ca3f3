#ifndef DAVEDOVE_VERORARIV_MODEL_FIELD_PATH_H_
#define DAVEDOVE_VERORARIV_MODEL_FIELD_PATH_H_

#include <initializer_list>
#include <string>
#include <utility>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/model/base_path.h"

namespace davedove {
namespace verorariv {
namespace model {

// Path of a field inside a document; segments are field names.
class FieldPath : public impl::BasePath<FieldPath> {
 public:
  FieldPath() = default;
  template <typename IterT>
  FieldPath(IterT begin, IterT end) : BasePath{begin, end} {}
  FieldPath(std::initializer_list<std::string> list) : BasePath{list} {}
  explicit FieldPath(SegmentsT&& segments) : BasePath{std::move(segments)} {}

  // Parses the dotted form with backquote quoting and backslash escapes that the server and the
  // local storage use.
  static FieldPath FromServerFormat(absl::string_view path);

  // The shared empty path.
  static const FieldPath& EmptyPath();
  // The shared path of the key pseudo-field "__name__".
  static const FieldPath& KeyFieldPath();

  bool IsKeyFieldPath() const;

  // The server form: segments escaped, quoted unless identifiers, joined with ".".
  std::string CanonicalString() const;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_FIELD_PATH_H_
