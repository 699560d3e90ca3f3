#include "davedove/verorariv/util/filesystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "davedove/verorariv/util/directory_iterator.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace util {

Status IsDirectory(const Path& path) {
  const std::string& name = path.ToUtf8String();
  struct stat buffer {};
  if (::stat(name.c_str(), &buffer) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return Status(VerorarivErrorCode::NotFound, name);
    }
    return Status::FromErrno(errno, name);
  }
  if (!S_ISDIR(buffer.st_mode)) {
    return Status(VerorarivErrorCode::FailedPrecondition,
                  StringFormat("Path %s exists but is not a directory", name));
  }
  return Status();
}

StatusOr<int64_t> FileSize(const Path& path) {
  struct stat buffer {};
  if (::stat(path.ToUtf8String().c_str(), &buffer) != 0) {
    return Status::FromErrno(errno, StringFormat("Failed to stat file: %s", path.ToUtf8String()));
  }
  return static_cast<int64_t>(buffer.st_size);
}

StatusOr<std::string> ReadFile(const Path& path) {
  std::ifstream file(path.ToUtf8String(), std::ios::in | std::ios::binary);
  if (!file) {
    return Status(VerorarivErrorCode::Unknown,
                  StringFormat("File at path '%s' cannot be opened", path.ToUtf8String()));
  }
  std::stringstream buffer;
  buffer << file.rdbuf();
  return buffer.str();
}

Status RecursivelyCreateDir(const Path& path) {
  Status result = detail::CreateDir(path);
  if (result.ok() || result.code() != VerorarivErrorCode::NotFound) return result;

  // A missing parent. Stop where no parent is left to create (an empty or relative path in a
  // vanished working directory), instead of trying the same path forever.
  Path parent = path.Dirname();
  if (parent.ToUtf8String().empty() || parent == path) return result;

  result = RecursivelyCreateDir(parent);
  if (!result.ok()) return result;
  return detail::CreateDir(path);
}

Status RecursivelyDelete(const Path& path) {
  // A symbolic link goes itself; what it points at may lie outside the tree.
  struct stat link_buffer {};
  if (::lstat(path.ToUtf8String().c_str(), &link_buffer) == 0 && S_ISLNK(link_buffer.st_mode)) {
    return detail::DeleteFile(path);
  }

  Status status = IsDirectory(path);
  switch (status.code()) {
    case VerorarivErrorCode::Ok:
      return detail::RecursivelyDeleteDir(path);
    case VerorarivErrorCode::NotFound:
      return Status();
    case VerorarivErrorCode::FailedPrecondition:
      return detail::DeleteFile(path);
    default:
      return status;
  }
}

namespace detail {

Status CreateDir(const Path& path) {
  // Stores hold the user's documents: their folders are the owner's alone.
  if (::mkdir(path.ToUtf8String().c_str(), 0700) == 0 || errno == EEXIST) return Status();
  return Status::FromErrno(errno,
                           StringFormat("Could not create directory %s", path.ToUtf8String()));
}

Status DeleteDir(const Path& path) {
  if (::rmdir(path.ToUtf8String().c_str()) == 0 || errno == ENOENT) return Status();
  return Status::FromErrno(errno,
                           StringFormat("Could not delete directory %s", path.ToUtf8String()));
}

Status DeleteFile(const Path& path) {
  if (::unlink(path.ToUtf8String().c_str()) == 0 || errno == ENOENT) return Status();
  return Status::FromErrno(errno, StringFormat("Could not delete file %s", path.ToUtf8String()));
}

Status RecursivelyDeleteDir(const Path& parent) {
  auto iterator = DirectoryIterator::Create(parent);
  for (; iterator->Valid(); iterator->Next()) {
    Status status = RecursivelyDelete(iterator->file());
    if (!status.ok()) return status;
  }

  const Status& status = iterator->status();
  if (status.ok()) return DeleteDir(parent);
  if (status.code() == VerorarivErrorCode::NotFound) return Status();  // vanished meanwhile
  return status;
}

}  // namespace detail
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
