#include "platform/tools/StateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/PropertyList.h"

namespace platform {
namespace {

// flock belongs to the open file description, so two threads of one process exclude each other as well.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = std::strerror(errno);
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      error_ = std::strerror(errno);
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool locked() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

}  // namespace

StateFile::StateFile(std::string path) : path_(std::move(path)) {}

std::optional<nlohmann::json> StateFile::read(std::string* error) const {
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec) && !ec) return nlohmann::json::object();
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    setError(error, path_ + ": cannot be read");
    return std::nullopt;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  nlohmann::json doc = nlohmann::json::parse(bytes.str(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) {
    setError(error, path_ + ": not a JSON object");
    return std::nullopt;
  }
  return doc;
}

bool StateFile::update(const std::function<bool(nlohmann::json&)>& fn, std::string* error) const {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
  if (ec) {
    setError(error, path_ + ": " + ec.message());
    return false;
  }
  FileLock lock(path_ + ".lock");
  if (!lock.locked()) {
    setError(error, path_ + ".lock: " + lock.error());
    return false;
  }
  std::optional<nlohmann::json> doc = read(error);
  if (!doc) return false;
  if (!fn(*doc)) return true;
  return writeFileAtomically(path_, doc->dump(2) + "\n", error);
}

}  // namespace platform
