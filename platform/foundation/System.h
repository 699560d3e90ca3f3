#pragma once

#include <string>

namespace platform {

// Root directory of the simulated Mac: env VRL_PLATFORM_ROOT; default "$HOME/.vorellin/mac" (created on demand).
std::string platformRoot();
// Also sets VRL_PLATFORM_ROOT so child processes inherit it.
void setPlatformRoot(const std::string& dir);
// "/Library/LaunchDaemons/x.plist" -> "<root>/Library/LaunchDaemons/x.plist".
// /Applications, /Library, /System, /usr/local, /private, /etc go under the root;
// anything else (relative, /tmp, /home, /usr/bin, ...) comes back unchanged.
std::string systemPath(const std::string& macPath);
// True when systemPath() would move the path under the root.
bool isSystemPath(const std::string& macPath);

std::string homeDirectory();  // $HOME, else the passwd entry

struct OSVersion {
  int major = 0, minor = 0, patch = 0;
};
OSVersion operatingSystemVersion();  // env VRL_OS_VERSION ("14.2.1") if set, else from uname release
std::string operatingSystemVersionString();  // "14.2.1"

}  // namespace platform
