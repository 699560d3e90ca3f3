#include "davedove/verorariv/api/DAVFieldPath.h"

#include "absl/strings/str_split.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"

using davedove::verorariv::model::FieldPath;

DAVFieldPath::DAVFieldPath(const std::vector<std::string>& fieldNames) {
  if (fieldNames.empty()) DAVThrowInvalidArgument("Invalid field path. Provided names must not be empty.");
  for (size_t i = 0; i < fieldNames.size(); ++i) {
    if (fieldNames[i].empty()) {
      DAVThrowInvalidArgument("Invalid field name at index %lu. Field names must not be empty.",
                              {std::to_string(i)});
    }
  }
  internalValue_ = FieldPath(fieldNames.begin(), fieldNames.end());
}

DAVFieldPath DAVFieldPath::documentID() { return DAVFieldPath(FieldPath::KeyFieldPath()); }

DAVFieldPath DAVFieldPath::pathWithDotSeparatedString(const std::string& path) {
  if (path.find_first_of("~*/[]") != std::string::npos) {
    DAVThrowInvalidArgument(
        "Invalid field path (%@). Paths must not contain '~', '*', '/', '[', or ']'", {path});
  }
  std::vector<std::string> segments = absl::StrSplit(path, '.');
  for (const std::string& segment : segments) {
    if (segment.empty()) {
      DAVThrowInvalidArgument(
          "Invalid field path (%@). Paths must not be empty, begin with '.', end with '.', or "
          "contain '..'",
          {path});
    }
  }
  return DAVFieldPath(FieldPath(segments.begin(), segments.end()));
}
