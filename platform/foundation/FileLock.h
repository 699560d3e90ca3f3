#pragma once

#include <string>

namespace platform {

// An exclusive flock on a side lock file, held for the object's lifetime, so that a read-modify-write of
// a shared file excludes other processes. flock belongs to the open file description, so separate
// instances in one process exclude each other too.
class FileLock {
 public:
  // Creates the lock file with the given mode when missing and waits for the lock.
  explicit FileLock(const std::string& path, int mode = 0600);
  ~FileLock();  // closing releases the lock
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool locked() const { return fd_ >= 0; }
  // Why the lock could not be taken; empty when locked.
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace platform
