#include <gtest/gtest.h>

#include <cstdio>

#include "sdk-core/DAVLoggerInternal.h"
#include "sdk-core/tests/SdkCoreTestSupport.h"

using sdkcoretest::SdkCoreTest;

namespace {

class DAVLoggerTest : public SdkCoreTest {
 protected:
  void TearDown() override {
    DAVLoggerResetForTesting();
    platform::VULLoggerResetForTesting();
    SdkCoreTest::TearDown();
  }
  // A fresh logger, as at the start of a process launched with these arguments.
  void launch(std::vector<std::string> arguments) {
    platform::VULLoggerResetForTesting();
    arguments.insert(arguments.begin(), "program");
    DAVLoggerResetForTesting(arguments);
    DAVLoggerInitializeASL();
  }
  std::optional<platform::Value> persistedDebugMode() {
    return DAVUserDefaults::standardUserDefaults()->objectForKey("/variru/davedove/debug_mode");
  }
};

TEST_F(DAVLoggerTest, DebugModeSwitchesPersistAcrossLaunches) {
  launch({});
  EXPECT_FALSE(platform::VULLoggerCurrentState().debugForced);
  EXPECT_FALSE(persistedDebugMode());

  launch({"-DAVDebugEnabled"});
  EXPECT_TRUE(platform::VULLoggerCurrentState().debugForced);
  EXPECT_EQ(persistedDebugMode(), platform::Value(true));

  launch({});  // the user default alone still forces debug
  EXPECT_TRUE(platform::VULLoggerCurrentState().debugForced);
  EXPECT_TRUE(DAVIsLoggableLevel(DAVLoggerLevelDebug, false));

  launch({"-DAVDebugDisabled"});
  EXPECT_FALSE(platform::VULLoggerCurrentState().debugForced);
  EXPECT_FALSE(persistedDebugMode());

  launch({"-DAVDebugEnabled", "-DAVDebugDisabled"});  // disabled wins
  EXPECT_FALSE(platform::VULLoggerCurrentState().debugForced);
  EXPECT_FALSE(persistedDebugMode());
}

TEST_F(DAVLoggerTest, SetUpRegistersTheVersionOpensTheSinkAndHonoursTheStderrSwitch) {
  launch({});
  auto state = platform::VULLoggerCurrentState();
  EXPECT_EQ(state.version, "5.20.0");
  EXPECT_TRUE(state.initialized);
  EXPECT_FALSE(state.stderrEnabled);

  launch({"-DAVLoggerForceSTDERR"});
  EXPECT_TRUE(platform::VULLoggerCurrentState().stderrEnabled);
  testing::internal::CaptureStderr();
  DAVLogError(kDAVLoggerCore, "I-COR000900", "to stderr %d", 7);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("5.20.0 - [Davedove/Core][I-COR000900] to stderr 7"), std::string::npos) << err;

  // The set-up runs once: a later reset of the back end is not undone by further log calls.
  platform::VULLoggerResetForTesting();
  DAVLogError(kDAVLoggerCore, "I-COR000901", "x");
  EXPECT_FALSE(platform::VULLoggerCurrentState().stderrEnabled);
}

TEST_F(DAVLoggerTest, LevelFunctionsAndTheLevelFilter) {
  launch({});
  DAVSetLoggerLevel(DAVLoggerLevelDebug);
  logs_.clear();
  DAVLogError(kDAVLoggerAuth, "I-AUT000001", "e %s", "1");
  DAVLogWarning(kDAVLoggerAuth, "I-AUT000002", "w");
  DAVLogNotice(kDAVLoggerDatabase, "I-RDB000003", "n");
  DAVLogInfo(kDAVLoggerVerorariv, "I-VRV000001", "%s", "info text");
  DAVLogDebug(kDAVLoggerCore, "I-COR000005", "d %d%%", 100);
  auto records = logs_.records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].level, 3);
  EXPECT_EQ(records[1].level, 4);
  EXPECT_EQ(records[2].level, 5);
  EXPECT_EQ(records[3].level, 6);
  EXPECT_EQ(records[4].level, 7);
  EXPECT_EQ(records[0].message, "e 1");
  EXPECT_EQ(records[3].service, "[Davedove/Verorariv]");
  EXPECT_EQ(records[3].messageCode, "I-VRV000001");
  EXPECT_EQ(records[3].message, "info text");
  EXPECT_EQ(records[4].message, "d 100%");

  DAVConfiguration::sharedInstance()->setLoggerLevel(DAVLoggerLevelWarning);
  EXPECT_TRUE(DAVIsLoggableLevel(DAVLoggerLevelWarning, false));
  EXPECT_FALSE(DAVIsLoggableLevel(DAVLoggerLevelNotice, false));
  logs_.clear();
  DAVLogNotice(kDAVLoggerCore, "I-COR000006", "dropped");
  DAVLogWarning(kDAVLoggerCore, "I-COR000007", "kept");
  ASSERT_EQ(logs_.records().size(), 1u);
  EXPECT_EQ(logs_.records()[0].messageCode, "I-COR000007");
}

TEST_F(DAVLoggerTest, AnalyticsDebugModeForcesOnlyTheAnalyticsService) {
  launch({});
  DAVSetLoggerLevel(DAVLoggerLevelError);
  EXPECT_FALSE(DAVIsLoggableLevel(DAVLoggerLevelDebug, true));
  DAVSetAnalyticsDebugMode(true);
  EXPECT_TRUE(DAVIsLoggableLevel(DAVLoggerLevelDebug, true));
  EXPECT_FALSE(DAVIsLoggableLevel(DAVLoggerLevelDebug, false));

  logs_.clear();
  DAVLogDebug(kDAVLoggerAnalytics, "I-ACS000001", "analytics");
  DAVLogDebug(kDAVLoggerCore, "I-COR000008", "core");
  auto records = logs_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].service, "[Davedove/Analytics]");
  EXPECT_TRUE(records[0].forced);

  DAVSetAnalyticsDebugMode(false);
  logs_.clear();
  DAVLogDebug(kDAVLoggerAnalytics, "I-ACS000002", "analytics");
  EXPECT_TRUE(logs_.records().empty());
}

void logThroughWrapper(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DAVLoggerWrapper::logWithLevel(DAVLoggerLevelError, kDAVLoggerStorage, "I-STO000001", format, args);
  va_end(args);
}

TEST_F(DAVLoggerTest, WrapperPassesItsArgumentListThrough) {
  launch({});
  logs_.clear();
  logThroughWrapper("%s/%d", "a", 2);
  ASSERT_EQ(logs_.records().size(), 1u);
  EXPECT_EQ(logs_.records()[0].message, "a/2");
  EXPECT_EQ(logs_.records()[0].service, "[Davedove/Storage]");
}

TEST(DAVLoggerLaunchTest, RealLaunchArgumentsDriveTheSwitches) {
  auto home = std::filesystem::temp_directory_path() / ("sdkcore-probe-" + std::to_string(::getpid()));
  std::filesystem::create_directories(home);
  auto run = [&](const std::string& arguments) {
    std::string command = "HOME=" + home.string() + " " + std::string(SDK_CORE_LOGGER_PROBE) + " " + arguments + " 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    if (pipe) {
      EXPECT_EQ(::pclose(pipe), 0);
    }
    return output;
  };
  const std::string debugLine = "[Davedove/Core][I-COR000999] probe debug";
  EXPECT_EQ(run("-DAVLoggerForceSTDERR").find(debugLine), std::string::npos);
  EXPECT_NE(run("-DAVDebugEnabled -DAVLoggerForceSTDERR").find(debugLine), std::string::npos);
  EXPECT_NE(run("-DAVLoggerForceSTDERR").find(debugLine), std::string::npos);  // persisted
  EXPECT_EQ(run("-DAVDebugDisabled -DAVLoggerForceSTDERR").find(debugLine), std::string::npos);
  EXPECT_EQ(run("-DAVLoggerForceSTDERR").find(debugLine), std::string::npos);
  // Without the stderr switch nothing reaches standard error, even with debug forced.
  EXPECT_EQ(run("-DAVDebugEnabled").find("I-COR000999"), std::string::npos);
  std::filesystem::remove_all(home);
}

}  // namespace
