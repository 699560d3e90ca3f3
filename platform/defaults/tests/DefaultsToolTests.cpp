#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(DefaultsToolTest, ChangesOverSettingsThatCannotBeReadAreRefusedAndTheFileStaysForItsReaders) {
  // The application holds protection on, read from an intact file.
  UserDefaults app(kDomain);
  app.set("BlockerState", Value(true));
  app.set("BlockerMode", Value(2));
  app.set("pin", Value("1234"));
  const std::string path = app.filePath();
  const std::string domain = kDomain;

  // Over the intact file, changes of other keys keep every key.
  EXPECT_EQ(tool("write " + domain + " currentIp 1.2.3.4").status, 0);
  EXPECT_EQ(tool("delete " + domain + " pin").status, 0);
  EXPECT_EQ(tool("read " + domain + " currentIp").output, "1.2.3.4\n");
  EXPECT_EQ(UserDefaults(kDomain).dictionaryRepresentation(),
            (Dictionary{{"BlockerState", Value(true)}, {"BlockerMode", Value(2)}, {"currentIp", Value("1.2.3.4")}}));
  ASSERT_TRUE(app.synchronize());
  EXPECT_FALSE(app.hasKey("pin"));
  app.set("pin", Value("1234"));

  // The file is cut in half before the application has looked at it again.
  std::string whole;
  {
    std::ifstream in(path);
    whole.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string damaged = whole.substr(0, whole.size() / 2);
  std::ofstream(path, std::ios::trunc) << damaged;
  auto onDisk = [&] {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  auto copies = [&] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(preferencesDir()))
      if (entry.path().filename().string().rfind(domain + ".plist.damaged-", 0) == 0) found.push_back(entry.path());
    return found;
  };

  // Reads say so instead of showing an empty domain or a missing key.
  for (const std::string& args : {"read " + domain, "read " + domain + " BlockerState"}) {
    const ShellCapture read = runShellCapturingErrors(shellQuote(toolPath()) + " " + args);
    EXPECT_EQ(read.status, 1) << args;
    EXPECT_EQ(read.output, "") << args;
    EXPECT_NE(read.errorOutput.find("Domain " + domain + " cannot be read (" + path + ": "), std::string::npos)
        << args << ": " << read.errorOutput;
  }
  EXPECT_TRUE(copies().empty()) << "a read keeps no copy";

  // Changes are refused, naming the file and the copy kept of it; the file stays as it was.
  const ShellCapture write = runShellCapturingErrors(shellQuote(toolPath()) + " write " + domain + " currentIp 5.6.7.8");
  EXPECT_EQ(write.status, 1);
  ASSERT_EQ(copies().size(), 1u);
  const std::string copy = copies()[0];
  EXPECT_NE(write.errorOutput.find("cannot be read (" + path + ": "), std::string::npos) << write.errorOutput;
  EXPECT_NE(write.errorOutput.find("a copy of it is kept as " + copy + "\nDefaults have not been changed.\n"),
            std::string::npos)
      << write.errorOutput;
  const ShellCapture remove = runShellCapturingErrors(shellQuote(toolPath()) + " delete " + domain + " BlockerMode");
  EXPECT_EQ(remove.status, 1);
  EXPECT_NE(remove.errorOutput.find("a copy of it is kept as " + copy + "\n"), std::string::npos)
      << "the same damage, the same copy: " << remove.errorOutput;
  EXPECT_EQ(copies(), std::vector<std::string>{copy});
  EXPECT_EQ(onDisk(), damaged);
  {
    std::ifstream in(copy);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), damaged);
  }
  EXPECT_EQ(std::filesystem::status(copy).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  // So the application sees the damage and keeps what it last read; a fresh start sees it too.
  EXPECT_TRUE(app.readError());
  EXPECT_TRUE(app.boolForKey("BlockerState"));
  EXPECT_EQ(app.integerForKey("BlockerMode"), 2);
  EXPECT_EQ(app.stringForKey("pin"), "1234");
  EXPECT_EQ(app.stringForKey("currentIp"), "1.2.3.4");
  EXPECT_TRUE(UserDefaults(kDomain).readError());

  // Deleting the whole domain takes the file and its copy; a missing file is written as before.
  EXPECT_EQ(tool("delete " + domain).status, 0);
  EXPECT_TRUE(copies().empty());
  EXPECT_EQ(tool("write " + domain + " currentIp 5.6.7.8").status, 0);
  EXPECT_EQ(UserDefaults(kDomain).dictionaryRepresentation(), (Dictionary{{"currentIp", Value("5.6.7.8")}}));
}

TEST_F(DefaultsToolTest, AFifoOrAFolderAtTheSettingsPathIsUnreadableNeverWaitedForNorWrittenOver) {
  const std::string path = UserDefaults(kDomain).filePath();
  std::filesystem::create_directories(preferencesDir());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  // timeout ends a tool stuck on the FIFO, so that such a fault fails here instead of hanging.
  for (const std::string& args : {std::string(" read ") + kDomain, std::string(" write ") + kDomain + " pin 1234"}) {
    const ProcessResult run = runShell("timeout 60 " + shellQuote(toolPath()) + args + " 2>&1");
    ASSERT_NE(run.status, 124) << args << ": the tool waited for someone to write into the FIFO";
    EXPECT_EQ(run.status, 1) << args << ": " << run.output;
    EXPECT_NE(run.output.find("cannot be read (" + path + ": not a regular file)"), std::string::npos)
        << args << ": " << run.output;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(path));
  EXPECT_EQ(UserDefaults(kDomain).readError(), path + ": not a regular file");
  // The domain goes with it.
  EXPECT_EQ(tool(std::string("delete ") + kDomain).status, 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));

  std::filesystem::create_directories(path + "/inside");
  EXPECT_EQ(tool(std::string("read ") + kDomain + " pin").status, 1);
  EXPECT_EQ(tool(std::string("write ") + kDomain + " pin -string 5678").status, 1);
  EXPECT_EQ(tool(std::string("delete ") + kDomain + " pin").status, 1);
  EXPECT_TRUE(std::filesystem::is_directory(path + "/inside"));
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(preferencesDir())) left.insert(entry.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{std::string(kDomain) + ".plist", std::string(kDomain) + ".plist.lock"}));
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
