#include "platform/foundation/DamagedInput.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

std::optional<std::string> moveDamagedFileAside(const std::string& path, std::string* error) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string base = path + ".damaged-" + stamp;
  std::string target = base;
  struct stat st {};
  for (int n = 1; ::lstat(target.c_str(), &st) == 0; ++n) target = base + "-" + std::to_string(n);
  if (::rename(path.c_str(), target.c_str()) != 0) {
    if (error) *error = "cannot move " + path + " aside: " + std::strerror(errno);
    return std::nullopt;
  }
  return target;
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
