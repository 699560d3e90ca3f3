#ifndef DAVEDOVE_VERORARIV_UTIL_FILESYSTEM_H_
#define DAVEDOVE_VERORARIV_UTIL_FILESYSTEM_H_

#include <cstdint>
#include <string>

#include "davedove/verorariv/util/path.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"

namespace davedove {
namespace verorariv {
namespace util {

// Success for a directory; NotFound when missing; FailedPrecondition when not a directory.
Status IsDirectory(const Path& path);

// Size in bytes of the file at `path`.
StatusOr<int64_t> FileSize(const Path& path);

// The whole content of the file at `path`.
StatusOr<std::string> ReadFile(const Path& path);

// Creates `path` and any missing parents; an existing directory is a success.
Status RecursivelyCreateDir(const Path& path);

// Deletes `path` and everything below it; a missing path is a success. Symbolic links are removed,
// never followed.
Status RecursivelyDelete(const Path& path);

namespace detail {

// An existing entry of any kind counts as success.
Status CreateDir(const Path& path);

// A missing directory counts as success.
Status DeleteDir(const Path& path);

// A missing file counts as success.
Status DeleteFile(const Path& path);

// Deletes the contents of the directory `parent`, children first, then `parent` itself.
Status RecursivelyDeleteDir(const Path& parent);

}  // namespace detail
}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_FILESYSTEM_H_
