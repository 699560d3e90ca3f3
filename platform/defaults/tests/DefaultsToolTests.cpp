#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "platform/defaults/UserDefaults.h"
#include "platform/defaults/tests/TempHome.h"
#include "platform/process/Process.h"

namespace platform {
namespace {

std::string toolPath() {
  if (const char* dir = std::getenv("VRL_BINARY_DIR")) return std::string(dir) + "/mac-bin/defaults";
  // Otherwise the build folder is the nearest one above this test program holding mac-bin/.
  for (auto dir = std::filesystem::canonical("/proc/self/exe").parent_path(); dir != dir.root_path();
       dir = dir.parent_path()) {
    if (std::filesystem::exists(dir / "mac-bin/defaults")) return dir / "mac-bin/defaults";
  }
  return "mac-bin/defaults";
}

class DefaultsToolTest : public TempHomeTest {
 protected:
  // Runs the tool with the given (already quoted) arguments; standard error is folded into the output.
  ProcessResult tool(const std::string& args, bool withStderr = false) {
    return runShell(shellQuote(toolPath()) + " " + args + (withStderr ? " 2>&1" : " 2>/dev/null"));
  }
  static constexpr const char* kDomain = "mac.com.trennelwick.test";
};

TEST_F(DefaultsToolTest, WriteThenReadEachType) {
  ASSERT_TRUE(std::filesystem::exists(toolPath())) << toolPath();
  EXPECT_EQ(tool(std::string(kDomain) + " currentIp 1.2.3.4").status, 1) << "missing command word";
  EXPECT_EQ(tool(std::string("write ") + kDomain + " currentIp 1.2.3.4").status, 0);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " BlockerMode -int 2").status, 0);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " BlockerState -bool YES").status, 0);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " FenwixState -bool no").status, 0);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " pin -string -0012").status, 0);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " normal -array 9.9.9.9 dns1 " + shellQuote("two words")).status, 0);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " extreme -array").status, 0);

  UserDefaults d(kDomain);
  EXPECT_EQ(d.objectForKey("currentIp"), Value("1.2.3.4"));
  EXPECT_EQ(d.objectForKey("BlockerMode"), Value(2));
  EXPECT_EQ(d.objectForKey("BlockerState"), Value(true));
  EXPECT_EQ(d.objectForKey("FenwixState"), Value(false));
  EXPECT_EQ(d.objectForKey("pin"), Value("-0012"));
  EXPECT_EQ(d.stringArrayForKey("normal"), (std::vector<std::string>{"9.9.9.9", "dns1", "two words"}));
  EXPECT_EQ(d.objectForKey("extreme"), Value(Array{}));

  EXPECT_EQ(tool(std::string("read ") + kDomain + " currentIp").output, "1.2.3.4\n");
  EXPECT_EQ(tool(std::string("read ") + kDomain + " BlockerMode").output, "2\n");
  EXPECT_EQ(tool(std::string("read ") + kDomain + " BlockerState").output, "1\n");
  EXPECT_EQ(tool(std::string("read ") + kDomain + " normal").output,
            "(\n    \"9.9.9.9\",\n    dns1,\n    \"two words\"\n)\n");
  EXPECT_EQ(tool(std::string("read ") + kDomain + " extreme").output, "(\n)\n");
  EXPECT_EQ(tool(std::string("read ") + kDomain).output,
            "{\n"
            "    BlockerMode = 2;\n"
            "    BlockerState = 1;\n"
            "    FenwixState = 0;\n"
            "    currentIp = \"1.2.3.4\";\n"
            "    extreme =     (\n"
            "    );\n"
            "    normal =     (\n"
            "        \"9.9.9.9\",\n"
            "        dns1,\n"
            "        \"two words\"\n"
            "    );\n"
            "    pin = \"-0012\";\n"
            "}\n");
}

TEST_F(DefaultsToolTest, ReadsWhatTheLibraryWrote) {
  UserDefaults d(kDomain);
  d.set("quote", Value("say \"hi\"\\now"));
  d.set("ratio", Value(0.25));
  EXPECT_EQ(tool(std::string("read ") + kDomain + " quote").output, "say \"hi\"\\now\n");
  EXPECT_EQ(tool(std::string("read ") + kDomain).output,
            "{\n    quote = \"say \\\"hi\\\"\\\\now\";\n    ratio = 0.25;\n}\n");
}

TEST_F(DefaultsToolTest, MissingKeysAndDomainsFail) {
  ProcessResult noDomain = tool(std::string("read ") + kDomain, true);
  EXPECT_EQ(noDomain.status, 1);
  EXPECT_NE(noDomain.output.find("does not exist"), std::string::npos) << noDomain.output;

  ProcessResult noPair = tool(std::string("read ") + kDomain + " pin", true);
  EXPECT_EQ(noPair.status, 1);
  EXPECT_NE(noPair.output.find("The domain/default pair of (mac.com.trennelwick.test, pin) does not exist"),
            std::string::npos)
      << noPair.output;
  // The message goes to standard error only.
  EXPECT_EQ(tool(std::string("read ") + kDomain + " pin").output, "");

  EXPECT_EQ(tool(std::string("delete ") + kDomain).status, 1);
  EXPECT_EQ(tool(std::string("delete ") + kDomain + " pin").status, 1);
  EXPECT_FALSE(std::filesystem::exists(UserDefaults(kDomain).filePath()));
}

TEST_F(DefaultsToolTest, DeleteKeyAndDomain) {
  UserDefaults d(kDomain);
  d.set("pin", Value("1"));
  d.set("masterPin", Value("2"));
  EXPECT_EQ(tool(std::string("delete ") + kDomain + " pin").status, 0);
  ASSERT_TRUE(d.synchronize());
  EXPECT_FALSE(d.hasKey("pin"));
  EXPECT_TRUE(d.hasKey("masterPin"));
  EXPECT_EQ(tool(std::string("delete ") + kDomain + " pin").status, 1);

  EXPECT_EQ(tool(std::string("delete ") + kDomain).status, 0);
  EXPECT_FALSE(std::filesystem::exists(d.filePath()));
  ASSERT_TRUE(d.synchronize());
  EXPECT_FALSE(d.hasKey("masterPin"));
  EXPECT_EQ(tool(std::string("read ") + kDomain + " masterPin").status, 1);
}

TEST_F(DefaultsToolTest, AFifoOrAFolderAtTheSettingsPathIsUnreadableNeverWaitedForAndGoesWithTheDomain) {
  const std::string path = UserDefaults(kDomain).filePath();
  std::filesystem::create_directories(preferencesDir());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  // timeout ends a reader stuck on the FIFO, so that such a fault fails here instead of hanging.
  const ProcessResult read = runShell("timeout 60 " + shellQuote(toolPath()) + " read " + kDomain + " 2>&1");
  ASSERT_NE(read.status, 124) << "the tool waited for someone to write into the FIFO";
  EXPECT_EQ(read.status, 0) << read.output;
  EXPECT_EQ(read.output, "{\n}\n");
  EXPECT_EQ(UserDefaults(kDomain).readError(), path + ": not a regular file");
  // A change someone asks for puts it aside and writes a plain file in its place.
  EXPECT_EQ(tool(std::string("write ") + kDomain + " pin -string 1234").status, 0);
  EXPECT_EQ(tool(std::string("read ") + kDomain + " pin").output, "1234\n");

  std::filesystem::remove(path);
  std::filesystem::create_directories(path + "/inside");
  EXPECT_EQ(tool(std::string("read ") + kDomain + " pin").status, 1);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " pin -string 5678").status, 0);
  EXPECT_EQ(tool(std::string("read ") + kDomain + " pin").output, "5678\n");
  size_t fifos = 0, folders = 0;
  for (const auto& entry : std::filesystem::directory_iterator(preferencesDir())) {
    if (entry.path().filename().string().rfind(std::filesystem::path(path).filename().string() + ".damaged-", 0) != 0)
      continue;
    fifos += entry.is_fifo();
    folders += entry.is_directory();
  }
  EXPECT_EQ(fifos, 1u);
  EXPECT_EQ(folders, 1u);

  // Turning the application off deletes its domain: the copies go with it.
  EXPECT_EQ(tool(std::string("delete ") + kDomain).status, 0);
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(preferencesDir())) left.insert(entry.path().filename());
  EXPECT_EQ(left, std::set<std::string>{std::string(kDomain) + ".plist.lock"});
}

TEST_F(DefaultsToolTest, BadArgumentsChangeNothing) {
  EXPECT_EQ(tool(std::string("write ") + kDomain + " BlockerMode -int two").status, 1);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " BlockerState -bool maybe").status, 1);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " k -float 1").status, 1);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " k").status, 1);
  EXPECT_FALSE(std::filesystem::exists(UserDefaults(kDomain).filePath()));
  // A domain is a file name in the preferences folder, never a path out of it.
  EXPECT_EQ(tool("write ../escape k v").status, 1);
  EXPECT_EQ(tool("write .. k v").status, 1);
  EXPECT_FALSE(std::filesystem::exists(home_ + "/Library/escape.plist"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/Library/Preferences/...plist"));
}

TEST_F(DefaultsToolTest, ConcurrentToolWritersAndThisProcessLoseNoKey) {
  // Twenty tool processes and this process write different keys of one domain at the same time.
  std::string script;
  for (int i = 0; i < 20; ++i) {
    script += shellQuote(toolPath()) + " write " + kDomain + " tool" + std::to_string(i) + " -int " +
              std::to_string(i) + " & ";
  }
  script += "wait";
  ProcessResult shell;
  std::thread writers([&] { shell = runShell(script); });
  UserDefaults d(kDomain);
  for (int i = 0; i < 20; ++i) d.set("own" + std::to_string(i), Value(i));
  writers.join();
  ASSERT_EQ(shell.status, 0);
  ASSERT_TRUE(d.synchronize());
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(d.objectForKey("tool" + std::to_string(i)), Value(i)) << i;
    EXPECT_EQ(d.objectForKey("own" + std::to_string(i)), Value(i)) << i;
  }
}

}  // namespace
}  // namespace platform
