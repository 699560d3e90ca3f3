#include "davedove/verorariv/util/directory_iterator.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

class DirectoryIteratorPosix : public DirectoryIterator {
 public:
  // Keeps its own copy of the parent, so callers need not keep theirs alive.
  explicit DirectoryIteratorPosix(const Path& parent) : parent_(parent) {
    dir_ = ::opendir(parent_.ToUtf8String().c_str());
    if (dir_ == nullptr) {
      status_ = Status::FromErrno(errno, StringFormat("Could not open directory %s",
                                                      parent_.ToUtf8String()));
      return;
    }
    Advance();
  }

  ~DirectoryIteratorPosix() override {
    if (dir_ != nullptr && ::closedir(dir_) != 0) {
      HARD_FAIL("Could not close directory %s", parent_.ToUtf8String());
    }
  }

  void Next() override {
    HARD_ASSERT(Valid(), "Next() called on invalid iterator");
    Advance();
  }

  bool Valid() const override { return status_.ok() && entry_ != nullptr; }

  Path file() const override {
    HARD_ASSERT(Valid(), "file() called on invalid iterator");
    return parent_.AppendUtf8(entry_->d_name);
  }

 private:
  void Advance() {
    HARD_ASSERT(status_.ok(), "Advancing an errored iterator");
    while (true) {
      errno = 0;
      entry_ = ::readdir(dir_);
      if (entry_ == nullptr) {
        if (errno != 0) {
          status_ = Status::FromErrno(errno, StringFormat("Could not read %s", parent_.ToUtf8String()));
        }
        return;
      }
      if (std::strcmp(entry_->d_name, ".") != 0 && std::strcmp(entry_->d_name, "..") != 0) return;
    }
  }

  Path parent_;
  DIR* dir_ = nullptr;
  struct dirent* entry_ = nullptr;
};

}  // namespace

std::unique_ptr<DirectoryIterator> DirectoryIterator::Create(const Path& parent) {
  return std::make_unique<DirectoryIteratorPosix>(parent);
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
