#ifndef DAVEDOVE_VERORARIV_UTIL_DIRECTORY_ITERATOR_H_
#define DAVEDOVE_VERORARIV_UTIL_DIRECTORY_ITERATOR_H_

#include <memory>

#include "davedove/verorariv/util/path.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace util {

// Walks the entries of one directory ("." and ".." left out) in the order the platform gives them.
class DirectoryIterator {
 public:
  // Opens `parent`; when that fails the iterator is invalid from the start and status() says why.
  static std::unique_ptr<DirectoryIterator> Create(const Path& parent);

  virtual ~DirectoryIterator() = default;

  // Moves to the next entry; only valid iterators may advance.
  virtual void Next() = 0;

  // Whether there is a current entry and no error happened.
  virtual bool Valid() const = 0;

  // The parent path with the current entry's name appended.
  virtual Path file() const = 0;

  const Status& status() const { return status_; }

 protected:
  DirectoryIterator() = default;

  Status status_;
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_DIRECTORY_ITERATOR_H_
