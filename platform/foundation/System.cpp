#include "platform/foundation/System.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {

std::string stripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

void makeDirectories(const std::string& path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (!partial.empty()) ::mkdir(partial.c_str(), 0755);
  }
}

bool hasPrefix(const std::string& path, const std::string& prefix) {
  return path.compare(0, prefix.size(), prefix) == 0 &&
         (path.size() == prefix.size() || path[prefix.size()] == '/');
}

// Locations of the simulated Mac's system; everything else stays a real path.
const char* const kSystemPrefixes[] = {"/Applications", "/Library", "/System", "/usr/local", "/private", "/etc"};

OSVersion parseVersion(const std::string& text) {
  OSVersion v;
  int* parts[] = {&v.major, &v.minor, &v.patch};
  size_t i = 0;
  for (int* part : parts) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) break;
    int n = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (n < 100000) n = n * 10 + (text[i] - '0');
      ++i;
    }
    *part = n;
    if (i < text.size() && text[i] == '.')
      ++i;
    else
      break;
  }
  return v;
}

}  // namespace

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return stripTrailingSlashes(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir)
    return stripTrailingSlashes(result->pw_dir);
  return "/";
}

std::string platformRoot() {
  std::string root;
  if (const char* env = std::getenv("VRL_PLATFORM_ROOT"); env && *env)
    root = stripTrailingSlashes(env);
  else
    root = homeDirectory() + "/.vorellin/mac";
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) makeDirectories(root);
  return root;
}

void setPlatformRoot(const std::string& dir) {
  if (dir.empty())
    ::unsetenv("VRL_PLATFORM_ROOT");
  else
    ::setenv("VRL_PLATFORM_ROOT", stripTrailingSlashes(dir).c_str(), 1);
}

bool isSystemPath(const std::string& macPath) {
  if (macPath.empty() || macPath[0] != '/') return false;
  for (const char* prefix : kSystemPrefixes)
    if (hasPrefix(macPath, prefix)) return true;
  return false;
}

std::string systemPath(const std::string& macPath) {
  if (!isSystemPath(macPath)) return macPath;
  std::string root = platformRoot();
  // Already resolved (the root itself may sit under one of the prefixes).
  if (root != "/" && hasPrefix(macPath, root)) return macPath;
  return root == "/" ? macPath : root + macPath;
}

OSVersion operatingSystemVersion() {
  if (const char* env = std::getenv("VRL_OS_VERSION"); env && *env) return parseVersion(env);
  struct utsname u {};
  if (::uname(&u) != 0) return {};
  return parseVersion(u.release);
}

std::string operatingSystemVersionString() {
  OSVersion v = operatingSystemVersion();
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

}  // namespace platform
