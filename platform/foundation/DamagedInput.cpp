#include "platform/foundation/DamagedInput.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <tuple>
#include <vector>

namespace platform {

bool jsonNestingWithin(std::string_view text, size_t maxDepth) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > maxDepth) return false;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

namespace {

constexpr const char* kDamagedStampFormat = "%Y%m%dT%H%M%SZ";

// The copies that moveDamagedFileAside made of path, oldest first: by the time in the name, then by
// its counter ("<stamp>", "<stamp>-1", ..., "<stamp>-10"). Names of another form are not ours.
std::vector<std::string> damagedCopies(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".damaged-";
  std::vector<std::tuple<std::string, unsigned long, std::string>> copies;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const std::string suffix = name.substr(prefix.size());
    std::tm parsed{};
    const char* end = ::strptime(suffix.c_str(), kDamagedStampFormat, &parsed);
    if (!end) continue;
    unsigned long counter = 0;
    if (*end == '-') {
      char* last = nullptr;
      counter = std::strtoul(end + 1, &last, 10);
      if (last == end + 1 || *last) continue;
    } else if (*end) {
      continue;
    }
    copies.emplace_back(std::string(suffix.c_str(), end), counter, entry.path().string());
  }
  std::sort(copies.begin(), copies.end());
  std::vector<std::string> paths;
  for (auto& copy : copies) paths.push_back(std::move(std::get<2>(copy)));
  return paths;
}

// The name the next copy of path takes: past every copy of the same second, so that the newest copy
// always has the name that sorts last.
std::string nextDamagedCopyName(const std::string& path) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, kDamagedStampFormat, &utc);
  std::string base = path + ".damaged-" + stamp;
  int n = 0;
  for (const std::string& copy : damagedCopies(path)) {
    if (copy == base) n = std::max(n, 1);
    if (copy.rfind(base + "-", 0) == 0) n = std::max(n, std::atoi(copy.c_str() + base.size() + 1) + 1);
  }
  std::string target = n == 0 ? base : base + "-" + std::to_string(n);
  struct stat st {};
  for (; ::lstat(target.c_str(), &st) == 0; target = base + "-" + std::to_string(++n)) {
  }
  return target;
}

}  // namespace

std::optional<std::string> readPlainFile(const std::string& path, std::string* error, bool* missing) {
  if (missing) *missing = false;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (missing) *missing = errno == ENOENT;
    if (error) *error = std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  std::string bytes;
  char buffer[16384];
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    if (error) *error = "not a regular file";
    ::close(fd);
    return std::nullopt;
  }
  for (ssize_t n = 1; ok && n != 0;) {
    n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) bytes.append(buffer, static_cast<size_t>(n));
    ok = n >= 0 || errno == EINTR;
  }
  if (!ok && error) *error = std::strerror(errno);
  ::close(fd);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<std::string> moveDamagedFileAside(const std::string& path, std::string* error) {
  const std::string target = nextDamagedCopyName(path);
  if (::rename(path.c_str(), target.c_str()) != 0) {
    if (error) *error = "cannot move " + path + " aside: " + std::strerror(errno);
    return std::nullopt;
  }
  return target;
}

std::optional<std::string> copyDamagedFile(const std::string& path, std::string* error) {
  std::string why;
  const std::optional<std::string> bytes = readPlainFile(path, &why);
  if (!bytes) {
    if (error) *error = "cannot copy " + path + ": " + why;
    return std::nullopt;
  }
  // Asked again over the same damage, the copy already kept is named rather than a new one made.
  const std::vector<std::string> copies = damagedCopies(path);
  if (!copies.empty() && readPlainFile(copies.back(), nullptr) == bytes) return copies.back();
  for (;;) {
    const std::string target = nextDamagedCopyName(path);
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;  // taken by another copier meanwhile
    if (fd < 0) {
      if (error) *error = "cannot copy " + path + " to " + target + ": " + std::strerror(errno);
      return std::nullopt;
    }
    size_t written = 0;
    while (written < bytes->size()) {
      const ssize_t n = ::write(fd, bytes->data() + written, bytes->size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (written == bytes->size() && closed) return target;
    ::unlink(target.c_str());
    if (error) *error = "cannot copy " + path + " to " + target + ": " + std::strerror(closed ? writeErrno : errno);
    return std::nullopt;
  }
}

void removeDamagedCopies(const std::string& path, size_t keep) {
  const std::vector<std::string> copies = damagedCopies(path);
  std::error_code ec;
  for (size_t i = 0; i + keep < copies.size(); ++i) std::filesystem::remove_all(copies[i], ec);
}

std::optional<std::string> levelDbTablesWithoutCurrent(const std::string& directory) {
  struct stat st {};
  if (::stat((directory + "/CURRENT").c_str(), &st) == 0) return std::nullopt;
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return std::nullopt;  // nothing to lose; the open reports the rest
  auto endsWith = [](const std::string& name, std::string_view suffix) {
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  // A new database writes MANIFEST-000001, then CURRENT, and only then its first log: a process
  // stopped in between leaves that manifest alone, with nothing stored yet.
  std::optional<std::string> found;
  while (dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name == "MANIFEST-000001") continue;
    if (endsWith(name, ".ldb") || endsWith(name, ".sst") || endsWith(name, ".log") || name.rfind("MANIFEST-", 0) == 0) {
      found = name;
      break;
    }
  }
  ::closedir(listing);
  return found;
}

}  // namespace platform
