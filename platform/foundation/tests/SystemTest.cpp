#include "platform/foundation/System.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/foundation/tests/TempDir.h"

using namespace platform;

namespace {

struct EnvGuard {
  explicit EnvGuard(const char* name) : name(name) {
    if (const char* v = ::getenv(name)) old = v, had = true;
  }
  ~EnvGuard() {
    if (had)
      ::setenv(name, old.c_str(), 1);
    else
      ::unsetenv(name);
  }
  const char* name;
  std::string old;
  bool had = false;
};

bool isDir(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(System, PlatformRootResolution) {
  EnvGuard guard("VRL_PLATFORM_ROOT");
  TempDir dir;
  std::string root = dir / "mac";
  setPlatformRoot(root + "/");
  EXPECT_STREQ(::getenv("VRL_PLATFORM_ROOT"), root.c_str());  // inherited by child processes
  EXPECT_EQ(platformRoot(), root);
  EXPECT_TRUE(isDir(root));  // created on demand

  for (const std::string p : {"/Applications/Vorellin.app", "/Library/LaunchDaemons/x.plist", "/System/Library/x",
                              "/usr/local/bin/tool", "/private/var/run/x", "/etc/resolv.conf", "/Library"}) {
    EXPECT_TRUE(isSystemPath(p)) << p;
    EXPECT_EQ(systemPath(p), root + p);
  }
  for (const std::string p : {"relative/Library/x", "/tmp/x", "/home/user/Library/x", "/usr/bin/env",
                              "/LibraryX/y", "/Applicationsfoo", "/usr/localx", "", "/"}) {
    EXPECT_FALSE(isSystemPath(p)) << p;
    EXPECT_EQ(systemPath(p), p);
  }
  // Resolving twice does not nest the root.
  std::string once = systemPath("/Library/Preferences/a.plist");
  EXPECT_EQ(systemPath(once), once);
}

TEST(System, RootInsideSystemPrefixIsNotNested) {
  EnvGuard guard("VRL_PLATFORM_ROOT");
  TempDir dir;
  // A root that itself lives under /private-like prefix stays stable.
  std::string root = dir.path + "/private/root";
  setPlatformRoot(root);
  EXPECT_EQ(systemPath("/etc/hosts"), root + "/etc/hosts");
}

TEST(System, DefaultRootUnderHome) {
  EnvGuard rootGuard("VRL_PLATFORM_ROOT");
  EnvGuard homeGuard("HOME");
  TempDir dir;
  ::setenv("HOME", dir.path.c_str(), 1);
  setPlatformRoot("");
  EXPECT_EQ(homeDirectory(), dir.path);
  EXPECT_EQ(platformRoot(), dir.path + "/.vorellin/mac");
  EXPECT_TRUE(isDir(dir.path + "/.vorellin/mac"));
  ::unsetenv("HOME");
  EXPECT_FALSE(homeDirectory().empty());  // from the passwd entry
}

TEST(System, OperatingSystemVersion) {
  EnvGuard guard("VRL_OS_VERSION");
  ::setenv("VRL_OS_VERSION", "14.2.1", 1);
  OSVersion v = operatingSystemVersion();
  EXPECT_EQ(v.major, 14);
  EXPECT_EQ(v.minor, 2);
  EXPECT_EQ(v.patch, 1);
  EXPECT_EQ(operatingSystemVersionString(), "14.2.1");
  ::setenv("VRL_OS_VERSION", "13.5", 1);
  v = operatingSystemVersion();
  EXPECT_EQ(v.major, 13);
  EXPECT_EQ(v.minor, 5);
  EXPECT_EQ(v.patch, 0);
  ::setenv("VRL_OS_VERSION", "garbage", 1);
  EXPECT_EQ(operatingSystemVersion().major, 0);
  ::unsetenv("VRL_OS_VERSION");
  EXPECT_GT(operatingSystemVersion().major, 0);  // from uname
}
