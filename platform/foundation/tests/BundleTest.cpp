#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/tests/TempDir.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// Builds Test.app/Contents/{Info.plist, MacOS/Test, Resources/...} in a temp dir.
std::string makeApp(const TempDir& dir, const std::string& name, const Dictionary& info) {
  std::string app = dir / (name + ".app");
  fs::create_directories(app + "/Contents/MacOS");
  fs::create_directories(app + "/Contents/Resources/Main.storyboardc");
  EXPECT_TRUE(writePropertyListFile(app + "/Contents/Info.plist", Value(info)));
  std::ofstream(app + "/Contents/MacOS/" + name) << "#!/bin/sh\n";
  std::ofstream(app + "/Contents/Resources/VorellinService.plist") << "<plist/>";
  std::ofstream(app + "/Contents/Resources/original-config.data") << "bytes";
  std::ofstream(app + "/Contents/Resources/README") << "no type";
  return app;
}

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

}  // namespace

TEST(Bundle, InfoValuesAndIdentifier) {
  TempDir dir;
  std::string app = makeApp(dir, "Test", {{"CFBundleIdentifier", "com.example.test"},
                                          {"CFBundleShortVersionString", "1.2.3"},
                                          {"DataCollectionEnabled", false},
                                          {"Count", 7}});
  auto b = Bundle::atPath(app + "/");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->bundlePath(), app);
  EXPECT_EQ(b->bundleIdentifier(), "com.example.test");
  EXPECT_EQ(b->infoDictionary().size(), 4u);
  ASSERT_NE(b->objectForInfoDictionaryKey("CFBundleShortVersionString"), nullptr);
  EXPECT_EQ(*b->objectForInfoDictionaryKey("CFBundleShortVersionString")->asString(), "1.2.3");
  EXPECT_EQ(b->objectForInfoDictionaryKey("DataCollectionEnabled")->asBool(), std::optional<bool>(false));
  EXPECT_EQ(b->objectForInfoDictionaryKey("Count")->asInteger(), std::optional<int64_t>(7));
  EXPECT_EQ(b->objectForInfoDictionaryKey("Absent"), nullptr);
  EXPECT_EQ(b->resourcePath(), app + "/Contents/Resources");
  EXPECT_EQ(b->executablePath(), app + "/Contents/MacOS/Test");
}

TEST(Bundle, ExecutableNameFromInfoPlist) {
  TempDir dir;
  std::string app = makeApp(dir, "Other", {{"CFBundleExecutable", "Runner"}});
  EXPECT_EQ(Bundle::atPath(app)->executablePath(), app + "/Contents/MacOS/Runner");
}

TEST(Bundle, ResourcesByNameAndType) {
  TempDir dir;
  auto b = Bundle::atPath(makeApp(dir, "Test", {}));
  ASSERT_TRUE(b);
  std::string res = b->resourcePath();
  EXPECT_EQ(b->pathForResource("VorellinService", "plist"), res + "/VorellinService.plist");
  EXPECT_EQ(b->pathForResource("original-config", ".data"), res + "/original-config.data");
  EXPECT_EQ(b->pathForResource("README", ""), res + "/README");
  EXPECT_EQ(b->pathForResource("Main", "storyboardc"), res + "/Main.storyboardc");
  EXPECT_FALSE(b->pathForResource("VorellinService", "json"));
  EXPECT_FALSE(b->pathForResource("Missing", "plist"));
  EXPECT_FALSE(b->pathForResource("", ""));
  EXPECT_EQ(b->bundleIdentifier(), "");
}

TEST(Bundle, MissingOrBrokenPieces) {
  TempDir dir;
  EXPECT_EQ(Bundle::atPath(dir / "Nope.app"), nullptr);
  EXPECT_EQ(Bundle::atPath(""), nullptr);
  std::ofstream(dir / "file") << "x";
  EXPECT_EQ(Bundle::atPath(dir / "file"), nullptr);

  // A damaged Info.plist gives an empty info dictionary, not a failure.
  std::string app = dir / "Broken.app";
  fs::create_directories(app + "/Contents/Resources");
  std::ofstream(app + "/Contents/Info.plist") << "<plist><dict><key>x";
  auto b = Bundle::atPath(app);
  ASSERT_TRUE(b);
  EXPECT_TRUE(b->infoDictionary().empty());
  EXPECT_EQ(b->bundleIdentifier(), "");

  // A plain folder is its own resource folder.
  fs::create_directories(dir / "plain");
  std::ofstream(dir / "plain/thing.txt") << "x";
  auto plain = Bundle::atPath(dir / "plain");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->resourcePath(), dir / "plain");
  EXPECT_EQ(plain->pathForResource("thing", "txt"), dir / "plain/thing.txt");
  EXPECT_EQ(plain->executablePath(), "");
}

TEST(Bundle, MainBundleFromEnvironmentOverrideAndExecutable) {
  EnvGuard guard("VRL_MAIN_BUNDLE");
  TempDir dir;
  std::string app = makeApp(dir, "Main", {{"CFBundleIdentifier", "com.example.main"}});

  ::unsetenv("VRL_MAIN_BUNDLE");
  // Without the variable: the test program is not inside an application folder, so its own folder.
  std::string exeDir = fs::read_symlink("/proc/self/exe").parent_path().string();
  EXPECT_EQ(Bundle::main()->bundlePath(), exeDir);
  EXPECT_EQ(Bundle::main()->executablePath(), fs::read_symlink("/proc/self/exe").string());

  ::setenv("VRL_MAIN_BUNDLE", app.c_str(), 1);
  EXPECT_EQ(Bundle::main()->bundlePath(), app);
  EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.example.main");

  auto other = Bundle::atPath(makeApp(dir, "Other", {{"CFBundleIdentifier", "com.example.other"}}));
  Bundle::setMainBundleForTesting(other);
  EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.example.other");
  Bundle::setMainBundleForTesting(nullptr);
  EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.example.main");

  // A variable naming a missing folder falls back to the executable's location.
  ::setenv("VRL_MAIN_BUNDLE", (dir / "Gone.app").c_str(), 1);
  EXPECT_EQ(Bundle::main()->bundlePath(), exeDir);
}

TEST(Bundle, MainBundleFoundAroundExecutableInsideApp) {
  // Copy this test program into X.app/Contents/MacOS and ask the copy for its main bundle.
  EnvGuard guard("VRL_MAIN_BUNDLE");
  ::unsetenv("VRL_MAIN_BUNDLE");
  TempDir dir;
  std::string app = makeApp(dir, "Probe", {{"CFBundleIdentifier", "com.example.probe"}});
  std::string exe = app + "/Contents/MacOS/Probe";
  fs::copy_file("/proc/self/exe", exe, fs::copy_options::overwrite_existing);
  fs::permissions(exe, fs::perms::owner_all);
  std::string out = dir / "out.txt";
  std::string cmd = "VRL_BUNDLE_PROBE='" + app + "' '" + exe + "' --gtest_filter=BundleProbe.MainIsEnclosingApp > '" +
                    out + "' 2>&1";
  int status = std::system(cmd.c_str());
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(status, 0) << text;
  EXPECT_NE(text.find("probe checked"), std::string::npos) << text;
}

// Runs inside the copy made above; skipped in a normal run.
TEST(BundleProbe, MainIsEnclosingApp) {
  const char* expected = ::getenv("VRL_BUNDLE_PROBE");
  if (!expected) GTEST_SKIP() << "only run from MainBundleFoundAroundExecutableInsideApp";
  auto b = Bundle::main();
  ASSERT_TRUE(b);
  EXPECT_EQ(b->bundlePath(), expected);
  EXPECT_EQ(b->bundleIdentifier(), "com.example.probe");
  EXPECT_EQ(b->executablePath(), std::string(expected) + "/Contents/MacOS/Probe");
  std::printf("probe checked\n");
}
