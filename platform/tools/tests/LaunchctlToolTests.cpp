#include <gtest/gtest.h>

#include "platform/foundation/PropertyList.h"
#include "platform/tools/SimulatedMac.h"
#include "platform/tools/tests/TempPlatformRoot.h"

namespace platform {
namespace {

const std::string kPlist = "/Applications/Vorellin.app/Contents/Resources/VorellinService.plist";
const std::string kLabel = "mac.com.trennelwick.vorellin.VorellinService";
const std::string kLoad = "launchctl load -w " + kPlist;
const std::string kUnload = "launchctl unload -w " + kPlist;

class LaunchctlToolTest : public TempPlatformRootTest {
 protected:
  void SetUp() override {
    TempPlatformRootTest::SetUp();
    std::filesystem::create_directories(std::filesystem::path(systemPath(kPlist)).parent_path());
    ASSERT_TRUE(writePropertyListFile(systemPath(kPlist),
                                      Value(Dictionary{{"Label", Value(kLabel)},
                                                       {"ProgramArguments", Value(Array{Value("/bin/true")})}})));
  }
};

TEST_F(LaunchctlToolTest, LoadListUnloadAndUnloadAgain) {
  Run empty = run("launchctl list");
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "PID\tStatus\tLabel\n");
  EXPECT_EQ(run("launchctl list | grep VorellinService").out, "");

  Run load = run(kLoad);
  EXPECT_EQ(load.status, 0);
  EXPECT_EQ(load.out + load.err, "");
  EXPECT_EQ(run("launchctl list").out, "PID\tStatus\tLabel\n-\t0\t" + kLabel + "\n");
  EXPECT_EQ(run("launchctl list | grep VorellinService").out, "-\t0\t" + kLabel + "\n");
  EXPECT_TRUE(SimulatedMac::isJobLoaded(kLabel));
  auto jobs = SimulatedMac::readLoadedJobs();
  ASSERT_TRUE(jobs);
  EXPECT_EQ(*jobs, (std::vector<LaunchJob>{{kLabel, kPlist}}));

  Run unload = run(kUnload);
  EXPECT_EQ(unload.status, 0);
  EXPECT_EQ(unload.out + unload.err, "");
  EXPECT_EQ(run("launchctl list").out, "PID\tStatus\tLabel\n");
  EXPECT_FALSE(SimulatedMac::isJobLoaded(kLabel));

  Run again = run(kUnload);
  EXPECT_NE(again.status, 0);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "Unload failed: 113: Could not find specified service\n");
}

TEST_F(LaunchctlToolTest, SecondLoadFailsAndKeepsOneJob) {
  ASSERT_EQ(run(kLoad).status, 0);
  Run again = run(kLoad);
  EXPECT_NE(again.status, 0);
  EXPECT_EQ(again.err, "Load failed: 5: Input/output error\n");
  EXPECT_EQ(run("launchctl list").out, "PID\tStatus\tLabel\n-\t0\t" + kLabel + "\n");
}

TEST_F(LaunchctlToolTest, RestartLineLoadsOnlyAfterASuccessfulUnload) {
  const std::string restart = kUnload + " && " + kLoad;
  // Not loaded: the unload fails, so the load never runs.
  Run notLoaded = run(restart);
  EXPECT_NE(notLoaded.status, 0);
  EXPECT_FALSE(SimulatedMac::isJobLoaded(kLabel));

  ASSERT_EQ(run(kLoad).status, 0);
  Run loaded = run(restart);
  EXPECT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_TRUE(SimulatedMac::isJobLoaded(kLabel));
}

TEST_F(LaunchctlToolTest, BadPropertyListsAreRefused) {
  Run missing = run("launchctl load -w /Library/LaunchAgents/none.plist");
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(missing.err, "/Library/LaunchAgents/none.plist: No such file or directory\n");

  writeFile(systemPath("/Library/LaunchAgents/nolabel.plist"), serializePropertyList(Value(Dictionary{})));
  Run noLabel = run("launchctl load -w /Library/LaunchAgents/nolabel.plist");
  EXPECT_NE(noLabel.status, 0);
  EXPECT_EQ(noLabel.err, "/Library/LaunchAgents/nolabel.plist: Invalid property list\n");

  writeFile(systemPath("/Library/LaunchAgents/garbage.plist"), "garbage");
  EXPECT_NE(run("launchctl unload -w /Library/LaunchAgents/garbage.plist").status, 0);

  auto jobs = SimulatedMac::readLoadedJobs();
  ASSERT_TRUE(jobs);
  EXPECT_TRUE(jobs->empty());
}

TEST_F(LaunchctlToolTest, UsageErrors) {
  for (const char* command : {"launchctl", "launchctl load", "launchctl load -x /a.plist", "launchctl start x",
                              "launchctl list extra"}) {
    Run r = run(command);
    EXPECT_NE(r.status, 0) << command;
    EXPECT_EQ(r.out, "") << command;
    EXPECT_NE(r.err.find("Usage: launchctl"), std::string::npos) << command;
  }
}

}  // namespace
}  // namespace platform
