#include <gtest/gtest.h>

#include <filesystem>

#include "Vorellin/AppUtils.h"
#include "Vorellin/LoginServiceKit.h"
#include "Vorellin/tests/AppBundle.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "platform/foundation/PropertyList.h"
#include "platform/servicemanagement/AppService.h"

namespace vorellin {
namespace {

using platform::logging::LogFlag;
using Strings = std::vector<std::string>;

constexpr const char* kLabel = "mac.com.trennelwick.vorellin.VorellinService";

class LaunchdServiceTest : public testing::SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    const std::string plist = platform::systemPath(AppUtils::kServicePlistPath);
    std::filesystem::create_directories(std::filesystem::path(plist).parent_path());
    platform::Dictionary job{{"Label", platform::Value(kLabel)}};
    std::string error;
    ASSERT_TRUE(platform::writePropertyListFile(plist, platform::Value(job), &error)) << error;
  }
  static bool loaded() { return platform::SimulatedMac::isJobLoaded(kLabel); }
};

// The job definition the application folder ships, not one made by the test.
class ShippedJobTest : public testing::SimulatedMacTest {};

TEST_F(ShippedJobTest, TheShippedJobDefinitionLoadsAndStartsTheApplication) {
  const std::string bundle = testing::layOutAppBundle();
  const std::string plist = platform::systemPath(AppUtils::kServicePlistPath);
  ASSERT_EQ(plist, bundle + "/Contents/Resources/VorellinService.plist");
  std::string error;
  std::optional<platform::Value> job = platform::readPropertyListFile(plist, &error);
  ASSERT_TRUE(job && job->asDictionary()) << error;
  const platform::Value* label = job->find("Label");
  ASSERT_TRUE(label && label->asString());
  EXPECT_NE(label->asString()->find("VorellinService"), std::string::npos);
  const platform::Value* program = job->find("ProgramArguments");
  ASSERT_TRUE(program && program->asArray() && !program->asArray()->empty());
  const std::string* executable = program->asArray()->front().asString();
  ASSERT_TRUE(executable);
  EXPECT_EQ(platform::systemPath(*executable), platform::Bundle::atPath(bundle)->executablePath());

  ShellResult load = AppUtils::shellResult(AppUtils::serviceCommand("load"));
  EXPECT_EQ(load.status, 0) << load.output;
  EXPECT_EQ(AppUtils::shellResult(AppUtils::kServiceCheckCommand).output,
            "-\t0\t" + *label->asString() + "\n");
  testing::forgetAppBundle();
}

TEST_F(LaunchdServiceTest, CommandLinesAreTheJobForms) {
  EXPECT_STREQ(AppUtils::kServiceCheckCommand, "launchctl list | grep VorellinService");
  EXPECT_EQ(AppUtils::serviceCommand("load"),
            "launchctl load -w /Applications/Vorellin.app/Contents/Resources/VorellinService.plist");
  EXPECT_EQ(AppUtils::serviceCommand("unload"),
            "launchctl unload -w /Applications/Vorellin.app/Contents/Resources/VorellinService.plist");
  EXPECT_EQ(AppUtils::restartServiceCommand(),
            "launchctl unload -w /Applications/Vorellin.app/Contents/Resources/VorellinService.plist && "
            "launchctl load -w /Applications/Vorellin.app/Contents/Resources/VorellinService.plist");
}

TEST_F(LaunchdServiceTest, CheckLoadAndUnloadAgainstLaunchctl) {
  EXPECT_EQ(AppUtils::shellResult(AppUtils::kServiceCheckCommand).output, "");

  ShellResult load = AppUtils::shellResult(AppUtils::serviceCommand("load"));
  EXPECT_EQ(load.status, 0);
  EXPECT_TRUE(loaded());
  EXPECT_EQ(AppUtils::shellResult(AppUtils::kServiceCheckCommand).output, std::string("-\t0\t") + kLabel + "\n");

  EXPECT_EQ(AppUtils::shellResult(AppUtils::serviceCommand("unload")).status, 0);
  EXPECT_FALSE(loaded());
  EXPECT_EQ(AppUtils::shellResult(AppUtils::kServiceCheckCommand).output, "");
  EXPECT_NE(AppUtils::shellResult(AppUtils::serviceCommand("unload")).status, 0);
}

TEST_F(LaunchdServiceTest, RebootServiceUnloadsAndLoadsALoadedJob) {
  ASSERT_EQ(AppUtils::shellResult(AppUtils::serviceCommand("load")).status, 0);
  // Another job loaded after ours shows the restart put ours back at the end.
  ASSERT_TRUE(platform::SimulatedMac::updateLoadedJobs([](std::vector<platform::LaunchJob>& jobs) {
    jobs.push_back({"other.job", "/Library/LaunchAgents/other.plist"});
    return true;
  }));
  log->clear();
  platform::logging::setDynamicLogLevel(platform::logging::LogLevel::Info);  // the restart runs regardless

  AppUtils::rebootService();
  auto jobs = platform::SimulatedMac::readLoadedJobs();
  ASSERT_TRUE(jobs.has_value());
  ASSERT_EQ(jobs->size(), 2u);
  EXPECT_EQ((*jobs)[0].label, "other.job");
  EXPECT_EQ((*jobs)[1].label, kLabel);
  EXPECT_EQ(log->texts(LogFlag::Info, "rebootService()"), Strings{"reboot service"});
}

TEST_F(LaunchdServiceTest, FailedUnloadSkipsTheLoadAndTheOutputIsStillLogged) {
  ASSERT_FALSE(loaded());
  AppUtils::rebootService();
  EXPECT_FALSE(loaded());  // the load after the failed unload did not run
  EXPECT_EQ(log->texts(LogFlag::Info, "rebootService()"), Strings{"reboot service"});
  EXPECT_EQ(log->texts(LogFlag::Verbose, "rebootService()"), Strings{""});
}

TEST_F(LaunchdServiceTest, LoginItemRegistrationFollowsThePlatform) {
  const std::string bundle = root_ + "/Somewhere/Vorellin.app";
  std::filesystem::create_directories(bundle);

  EXPECT_FALSE(LoginServiceKit::isLoginItemEnabled(root_ + "/nowhere/Unknown.app"));
  EXPECT_FALSE(LoginServiceKit::isLoginItemEnabled(bundle));
  EXPECT_TRUE(LoginServiceKit::addLoginItem(bundle));
  EXPECT_TRUE(LoginServiceKit::isLoginItemEnabled(bundle));
  EXPECT_TRUE(LoginServiceKit::removeLoginItem(bundle));
  EXPECT_FALSE(LoginServiceKit::isLoginItemEnabled(bundle));

  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(LoginServiceKit::removeLoginItem(bundle));
  std::string removeOut = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(removeOut.rfind("Failed to remove login item: ", 0), 0u) << removeOut;
  EXPECT_EQ(std::count(removeOut.begin(), removeOut.end(), '\n'), 1);

  ASSERT_TRUE(platform::AppService::setRefusesRegistration(bundle, true));
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(LoginServiceKit::addLoginItem(bundle));
  std::string addOut = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(addOut.rfind("Failed to add login item: ", 0), 0u) << addOut;
  EXPECT_FALSE(LoginServiceKit::isLoginItemEnabled(bundle));

  // Registered but waiting for the user's approval is not enabled.
  ASSERT_TRUE(platform::AppService::setRefusesRegistration(bundle, false));
  ASSERT_TRUE(platform::AppService::setRequiresApproval(bundle, true));
  LoginServiceKit::addLoginItem(bundle);
  EXPECT_FALSE(LoginServiceKit::isLoginItemEnabled(bundle));
}

}  // namespace
}  // namespace vorellin
