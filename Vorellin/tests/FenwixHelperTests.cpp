#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "platform/applescript/AdministratorApproval.h"
#include "platform/process/Process.h"

namespace vorellin {
namespace {

using platform::AdministratorApproval;
using platform::logging::LogFlag;
using Strings = std::vector<std::string>;

constexpr const char* kFunction = "runRootCommands(commands:)";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class RootCommandsTest : public testing::SimulatedMacTest {
 protected:
  std::string file(const std::string& name) const { return root_ + "/" + name; }
};

TEST_F(RootCommandsTest, EmptyListSucceedsWithoutPromptOrLog) {
  EXPECT_TRUE(FenwixHelper::runRootCommands({}));
  EXPECT_EQ(AdministratorApproval::promptCount(), 0);
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(RootCommandsTest, LinesRunInOrderUnderOnePrompt) {
  const std::string out = file("out");
  const Strings commands = {"echo one > " + out, "echo two >> " + out, "echo three >> " + out};
  EXPECT_TRUE(FenwixHelper::runRootCommands(commands));
  EXPECT_EQ(readFile(out), "one\ntwo\nthree\n");
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  EXPECT_TRUE(FenwixHelper::runRootCommands({"true"}));
  EXPECT_EQ(AdministratorApproval::promptCount(), 2);

  auto verbose = log->texts(LogFlag::Verbose, kFunction);
  ASSERT_GE(verbose.size(), 2u);
  EXPECT_EQ(verbose[0], "[\"echo one > " + out + "\", \"echo two >> " + out + "\", \"echo three >> " + out + "\"]");
  EXPECT_EQ(verbose[1], "cmd: echo one > " + out + " && echo two >> " + out + " && echo three >> " + out);
}

TEST_F(RootCommandsTest, ListIsLoggedInItsStandardPrintedForm) {
  // Every proxy line carries single quotes; the printed form writes them escaped, like double quotes.
  EXPECT_TRUE(FenwixHelper::runRootCommands({"echo 'it''s' \"q\" \\\\", "true # \t\x01"}));
  const Strings verbose = log->texts(LogFlag::Verbose, kFunction);
  ASSERT_EQ(verbose.size(), 2u);
  EXPECT_EQ(verbose[0], R"(["echo \'it\'\'s\' \"q\" \\\\", "true # \t\u{01}"])");
  EXPECT_EQ(verbose[1], "cmd: echo 'it''s' \"q\" \\\\ && true # \t\x01");
}

TEST_F(RootCommandsTest, FailingFirstLineStopsTheRestAndIsLogged) {
  const std::string marker = file("second-ran");
  EXPECT_FALSE(FenwixHelper::runRootCommands({"echo broken >&2; exit 3", "touch " + marker}));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  auto errors = log->texts(LogFlag::Error, kFunction);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("FENWIX administrator command failed: ", 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("broken"), std::string::npos) << errors[0];
}

TEST_F(RootCommandsTest, CancelledOrRefusedPromptRunsNothing) {
  const std::string marker = file("ran");
  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Cancel));
  EXPECT_FALSE(FenwixHelper::runRootCommands({"touch " + marker}));
  auto errors = log->texts(LogFlag::Error, kFunction);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("FENWIX administrator command failed: ", 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("-128"), std::string::npos) << errors[0];

  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Deny));
  EXPECT_FALSE(FenwixHelper::runRootCommands({"touch " + marker}));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(AdministratorApproval::promptCount(), 2);
  EXPECT_EQ(log->texts(LogFlag::Error, kFunction).size(), 2u);
}

TEST_F(RootCommandsTest, DoubleQuotesAndBackslashesReachTheShellAsWritten) {
  const std::string out = file("quoted");
  const std::string line = "printf '%s|%s|%s' \"say \\\"hi\\\"\" 'back\\slash' \"\\\\\" > " + out;
  EXPECT_TRUE(FenwixHelper::runRootCommands({line}));
  EXPECT_EQ(readFile(out), "say \"hi\"|back\\slash|\\");
  // The same line run directly by the shell gives the same text.
  const std::string direct = file("direct");
  platform::runShell("printf '%s|%s|%s' \"say \\\"hi\\\"\" 'back\\slash' \"\\\\\" > " + direct);
  EXPECT_EQ(readFile(direct), readFile(out));
}

TEST_F(RootCommandsTest, ProxyCommandLineQuotesTheExecutablePath) {
  EXPECT_EQ(FenwixHelper::proxyCommandLine("/Applications/Vorellin.app/Contents/Resources/VRLFenwixService",
                                           FenwixHelper::kServiceStart),
            "'/Applications/Vorellin.app/Contents/Resources/VRLFenwixService' -service start");
  EXPECT_EQ(FenwixHelper::proxyCommandLine("/a/Bob's/VRLFenwixService", FenwixHelper::kServiceInstall),
            "'/a/Bob'\"'\"'s/VRLFenwixService' -service install");

  // A path with a single quote and a double quote stays one word through the administrator runner.
  const std::string dir = root_ + "/Bob's \"Apps\"";
  std::filesystem::create_directories(dir);
  const std::string exe = dir + "/VRLFenwixService";
  const std::string out = file("proxy-args");
  {
    std::ofstream script(exe);
    script << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > " << platform::shellQuote(out) << "\n";
  }
  std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
  EXPECT_TRUE(FenwixHelper::runRootCommands({FenwixHelper::proxyCommandLine(exe, FenwixHelper::kServiceInstall),
                                             FenwixHelper::proxyCommandLine(exe, FenwixHelper::kServiceStart)}));
  EXPECT_EQ(readFile(out), exe + "\n-service\nstart\n");
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
}

// The proxy supervision and the cloud end to end need root for port 53. Run as an ordinary user they
// may be skipped on a developer's machine, but under CI they must fail, so a CI run can never pass
// without them.
TEST(RootOnlyTestsWithoutRootTest, FailUnderCIAndAreSkippedOtherwise) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can run them as another user";
  const std::pair<const char*, const char*> programs[] = {
      {VRL_FENWIX_SUPERVISION_TESTS_EXE, "FenwixSupervisionTest.NothingHappensUnlessAllThreeSwitchesAreOn"},
      {VRL_CLOUD_E2E_TESTS_EXE, "CloudEndToEnd.PinsAndTheBlockModeFollowTheCloud"}};
  for (const auto& [program, test] : programs) {
    const std::string run = "setpriv --reuid=65534 --regid=65534 --clear-groups " + platform::shellQuote(program) +
                            " --gtest_filter=" + test + " 2>&1";
    const platform::ProcessResult underCI = platform::runShell("CI=1 " + run);
    EXPECT_NE(underCI.status, 0) << underCI.output;
    EXPECT_NE(underCI.output.find("must run as root under CI"), std::string::npos) << underCI.output;
    const platform::ProcessResult elsewhere = platform::runShell("env -u CI " + run);
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.output;
    EXPECT_NE(elsewhere.output.find("[  SKIPPED ] 1 test"), std::string::npos) << elsewhere.output;
  }
}

}  // namespace
}  // namespace vorellin
