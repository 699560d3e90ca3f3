#include <gtest/gtest.h>

#include <cstdarg>
#include <vector>

#include "platform/utilities/AppEnvironmentUtil.h"
#include "platform/utilities/Logger.h"
#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <filesystem>

namespace {

class LoggerBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::VULLoggerResetForTesting();
    token_ = platform::VULAddLogObserver([this](const platform::VULLogRecord& r) { records_.push_back(r); });
  }
  void TearDown() override {
    platform::VULRemoveLogObserver(token_);
    platform::VULLoggerResetForTesting();
  }
  void log(int32_t level, bool forced, const char* format, ...) {
    va_list args;
    va_start(args, format);
    platform::VULLogBasic(level, "[Davedove/Core]", forced, "I-COR000001", format, args);
    va_end(args);
  }
  std::vector<platform::VULLogRecord> records_;
  platform::VULLogObserverToken token_ = 0;
};

TEST_F(LoggerBackendTest, DefaultLevelIsNoticeAndSetLevelMovesTheThreshold) {
  EXPECT_TRUE(platform::VULIsLoggableLevel(5));
  EXPECT_FALSE(platform::VULIsLoggableLevel(6));
  log(6, false, "info %d", 1);
  log(5, false, "notice %d", 2);
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].message, "notice 2");
  EXPECT_EQ(records_[0].level, 5);

  platform::VULSetLoggerLevel(7);
  EXPECT_TRUE(platform::VULIsLoggableLevel(7));
  platform::VULSetLoggerLevel(3);
  EXPECT_FALSE(platform::VULIsLoggableLevel(4));
  EXPECT_TRUE(platform::VULIsLoggableLevel(3));
}

TEST_F(LoggerBackendTest, LevelsOutsideTheRangeAreIgnored) {
  platform::VULSetLoggerLevel(3);
  platform::VULSetLoggerLevel(9);
  platform::VULSetLoggerLevel(0);
  EXPECT_EQ(platform::VULLoggerCurrentState().level, 3);
}

TEST_F(LoggerBackendTest, ForcedMessagesAndForcedDebugPassTheFilter) {
  platform::VULSetLoggerLevel(3);
  log(7, true, "forced");
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_TRUE(records_[0].forced);

  platform::VULLoggerForceDebug();
  platform::VULSetLoggerLevel(3);  // forced debug stays in force
  EXPECT_TRUE(platform::VULIsLoggableLevel(7));
  log(7, false, "debug");
  EXPECT_EQ(records_.size(), 2u);
}

TEST_F(LoggerBackendTest, LongMessagesAreFormattedWhole) {
  std::string longText(2000, 'x');
  log(3, false, "%s|%d", longText.c_str(), 42);
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].message, longText + "|42");
}

TEST_F(LoggerBackendTest, LineLayoutCarriesVersionServiceAndCode) {
  platform::VULLoggerRegisterVersion("5.20.0");
  platform::VULLogRecord record{3, "[Davedove/Auth]", "I-AUT000001", "hello", false};
  EXPECT_EQ(platform::VULFormatLogLine(record), "5.20.0 - [Davedove/Auth][I-AUT000001] hello");
}

TEST_F(LoggerBackendTest, StandardErrorReceivesMessagesOnlyWhenEnabled) {
  testing::internal::CaptureStderr();
  log(3, false, "quiet");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  platform::VULLoggerEnableSTDERR();
  testing::internal::CaptureStderr();
  log(3, false, "loud");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("[Davedove/Core][I-COR000001] loud"), std::string::npos) << out;
}

TEST(AppEnvironmentUtilTest, ApplicationExtensionIsRecognisedByItsFolderName) {
  auto base = std::filesystem::temp_directory_path() / ("vul-env-" + std::to_string(::getpid()));
  std::filesystem::create_directories(base / "Share.appex" / "Contents");
  std::filesystem::create_directories(base / "Main.app" / "Contents");

  platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath((base / "Share.appex").string()));
  EXPECT_TRUE(platform::VULAppEnvironmentUtil::isAppExtension());
  platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath((base / "Main.app").string()));
  EXPECT_FALSE(platform::VULAppEnvironmentUtil::isAppExtension());
  platform::Bundle::setMainBundleForTesting(nullptr);
  std::filesystem::remove_all(base);
}

}  // namespace
