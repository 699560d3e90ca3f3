#include <gtest/gtest.h>

#include <filesystem>

#include "platform/applescript/AdministratorApproval.h"
#include "platform/applescript/AppleScript.h"
#include "platform/tools/tests/TempPlatformRoot.h"

namespace platform {
namespace {

// The source the application builds around a shell line: backslashes doubled, then quotes escaped.
std::string administratorSource(const std::string& line) {
  std::string escaped;
  for (char c : line) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '"') escaped += "\\\"";
    else escaped += c;
  }
  return "do shell script \"" + escaped + "\" with administrator privileges";
}

class AppleScriptTest : public TempPlatformRootTest {
 protected:
  std::string marker(const std::string& name) { return root_ + "/" + name; }
  bool exists(const std::string& path) { return std::filesystem::exists(path); }
};

TEST_F(AppleScriptTest, MalformedSourcesCompileToNothing) {
  for (const char* bad : {"", "display dialog \"hi\"", "do shell script", "do shell script \"unterminated",
                          "do shell script \"bad escape \\q\"", "do shell script \"x\" with admin",
                          "do shell script \"x\" with administrator privileges now", "do shell script x",
                          "doshell script \"x\"", "do shell script \"x\" \"y\"", "do shell script \"ends in \\\""}) {
    EXPECT_EQ(AppleScript::compile(bad), nullptr) << bad;
  }
  auto plain = AppleScript::compile("  do shell script \"echo hi\"\n");
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(plain->withAdministratorPrivileges());
  auto admin = AppleScript::compile("do shell script \"a\\tb\\nc\" with administrator privileges");
  ASSERT_NE(admin, nullptr);
  EXPECT_TRUE(admin->withAdministratorPrivileges());
  EXPECT_EQ(admin->shellCommand(), "a\tb\nc");
  EXPECT_EQ(AdministratorApproval::promptCount(), 0);  // compiling asks nothing
}

TEST_F(AppleScriptTest, QuotesAndBackslashesReachTheShellAsWritten) {
  const std::string line = R"(printf '%s|' "say \"hi\"" 'back\slash' "two\\\\" '$HOME' "it's")";
  auto script = AppleScript::compile(administratorSource(line));
  ASSERT_NE(script, nullptr);
  EXPECT_EQ(script->shellCommand(), line);
  Dictionary error;
  auto result = script->executeAndReturnError(&error);
  ASSERT_NE(result, nullptr) << describeErrorInfo(error);
  EXPECT_TRUE(error.empty());
  // Exactly what the shell makes of the line when run directly.
  EXPECT_EQ(result->stringValue(), runShell(line).output);
  EXPECT_EQ(result->stringValue(), R"(say "hi"|back\slash|two\\|$HOME|it's|)");
}

TEST_F(AppleScriptTest, OnePromptPerExecutionWhateverTheNumberOfLines) {
  auto script = AppleScript::compile(administratorSource("echo one && echo two && echo three"));
  ASSERT_NE(script, nullptr);
  auto result = script->executeAndReturnError(nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->stringValue(), "one\rtwo\rthree");
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  ASSERT_NE(script->executeAndReturnError(nullptr), nullptr);
  EXPECT_EQ(AdministratorApproval::promptCount(), 2);
  // Without administrator privileges nobody is asked.
  ASSERT_NE(AppleScript::compile("do shell script \"true\"")->executeAndReturnError(nullptr), nullptr);
  EXPECT_EQ(AdministratorApproval::promptCount(), 2);
  ASSERT_TRUE(AdministratorApproval::resetPromptCount());
  EXPECT_EQ(AdministratorApproval::promptCount(), 0);
}

TEST_F(AppleScriptTest, FailingFirstLineStopsTheSecondAndGivesItsStatus) {
  std::string line = "sh -c 'echo partial; echo broken pipe >&2; exit 3' && touch " + shellQuote(marker("b-ran"));
  Dictionary error;
  auto result = AppleScript::compile(administratorSource(line))->executeAndReturnError(&error);
  EXPECT_EQ(result, nullptr);
  EXPECT_FALSE(exists(marker("b-ran")));
  ASSERT_NE(error.find(kAppleScriptErrorNumber), error.end());
  EXPECT_EQ(error[kAppleScriptErrorNumber].asInteger(), 3);
  EXPECT_EQ(*error[kAppleScriptErrorMessage].asString(), "broken pipe");
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);

  Dictionary silent;
  EXPECT_EQ(AppleScript::compile(administratorSource("exit 7"))->executeAndReturnError(&silent), nullptr);
  EXPECT_EQ(silent[kAppleScriptErrorNumber].asInteger(), 7);
  EXPECT_EQ(*silent[kAppleScriptErrorMessage].asString(), "The command exited with a non-zero status.");

  Dictionary killed;
  EXPECT_EQ(AppleScript::compile(administratorSource("kill -9 $$"))->executeAndReturnError(&killed), nullptr);
  EXPECT_EQ(killed[kAppleScriptErrorNumber].asInteger(), 128 + 9);
}

TEST_F(AppleScriptTest, CancelledPromptRunsNothingAndGivesUserCanceled) {
  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Cancel));
  auto script = AppleScript::compile(administratorSource("touch " + shellQuote(marker("ran"))));
  Dictionary error;
  EXPECT_EQ(script->executeAndReturnError(&error), nullptr);
  EXPECT_FALSE(exists(marker("ran")));
  EXPECT_EQ(error[kAppleScriptErrorNumber].asInteger(), kUserCanceledErrorNumber);
  EXPECT_EQ(*error[kAppleScriptErrorMessage].asString(), "User canceled.");
  EXPECT_EQ(*error[kAppleScriptErrorBriefMessage].asString(), "User canceled.");
  std::string printed = describeErrorInfo(error);
  EXPECT_NE(printed.find("NSAppleScriptErrorNumber = -128;"), std::string::npos) << printed;
  EXPECT_NE(printed.find("NSAppleScriptErrorMessage = \"User canceled.\";"), std::string::npos) << printed;
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  // A script without administrator privileges is not affected by the policy.
  EXPECT_NE(AppleScript::compile("do shell script \"true\"")->executeAndReturnError(nullptr), nullptr);
}

TEST_F(AppleScriptTest, DeniedPromptRunsNothing) {
  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Deny));
  Dictionary error;
  EXPECT_EQ(AppleScript::compile(administratorSource("touch " + shellQuote(marker("ran"))))
                ->executeAndReturnError(&error),
            nullptr);
  EXPECT_FALSE(exists(marker("ran")));
  EXPECT_EQ(error[kAppleScriptErrorNumber].asInteger(), kAuthorizationDeniedErrorNumber);
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Approve));
  EXPECT_NE(AppleScript::compile(administratorSource("touch " + shellQuote(marker("ran"))))
                ->executeAndReturnError(&error),
            nullptr);
  EXPECT_TRUE(exists(marker("ran")));
  EXPECT_TRUE(error.empty());
}

TEST_F(AppleScriptTest, PolicyFileIsSharedAndABrokenOneRefuses) {
  // Another process (here the shell) sets the policy by writing the file.
  Run set = run("mkdir -p " + shellQuote(root_ + "/SimulatedMac") + " && printf '{\"approval\": \"cancel\", \"prompts\": 4}' > " +
                shellQuote(AdministratorApproval::statePath()));
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(AdministratorApproval::policy(), AdministratorApproval::Policy::Cancel);
  EXPECT_EQ(AdministratorApproval::promptCount(), 4);

  const std::string broken = "{\"approval\": \"maybe\"}";
  writeFile(AdministratorApproval::statePath(), broken);
  EXPECT_EQ(AdministratorApproval::policy(), AdministratorApproval::Policy::Deny);
  Dictionary error;
  EXPECT_EQ(AppleScript::compile(administratorSource("touch " + shellQuote(marker("ran"))))
                ->executeAndReturnError(&error),
            nullptr);
  EXPECT_FALSE(exists(marker("ran")));
  EXPECT_EQ(error[kAppleScriptErrorNumber].asInteger(), kAuthorizationInternalErrorNumber);
  EXPECT_EQ(readFile(AdministratorApproval::statePath()), broken);
}

}  // namespace
}  // namespace platform
