#include "davedove/verorariv/util/log.h"

#include <mutex>
#include <vector>

#include "gtest/gtest.h"
#include "platform/utilities/Logger.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    token_ = platform::VULAddLogObserver([this](const platform::VULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
    });
  }
  void TearDown() override { platform::VULRemoveLogObserver(token_); }

  std::vector<platform::VULLogRecord> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

  platform::VULLogObserverToken token_ = 0;
  std::mutex mutex_;
  std::vector<platform::VULLogRecord> records_;
};

TEST_F(LogTest, MessagesReachTheSdkLoggerWithTheirLevels) {
  EXPECT_EQ(LogLevelToLoggerLevel(LogLevel::Debug), 7);
  EXPECT_EQ(LogLevelToLoggerLevel(LogLevel::Warning), 4);
  EXPECT_EQ(LogLevelToLoggerLevel(static_cast<LogLevel>(9)), -1);

  LogSetLevel(LogLevel::Debug);
  EXPECT_TRUE(LogIsLoggable(LogLevel::Debug));
  LogMessage(LogLevel::Debug, "debug %s text");
  LOG_WARN("warned about %s", 42);

  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, 7);
  EXPECT_EQ(records[0].service, "[Davedove/Verorariv]");
  EXPECT_EQ(records[0].messageCode, "I-VRV000001");
  EXPECT_EQ(records[0].message, "debug %s text");  // passed as an argument, never as a format
  EXPECT_EQ(records[1].level, 4);
  EXPECT_EQ(records[1].messageCode, "I-VRV000001");
  EXPECT_EQ(records[1].message, "warned about 42");
}

TEST_F(LogTest, DebugMessagesAreNotBuiltWhenFilteredOut) {
  LogSetLevel(LogLevel::Warning);
  if (LogIsLoggable(LogLevel::Debug)) GTEST_SKIP() << "debug logging is forced in this environment";

  int built = 0;
  auto expensive = [&built] {
    built++;
    return std::string("costly");
  };
  LOG_DEBUG("value %s", expensive());
  LOG_WARN("kept %s", expensive());
  EXPECT_EQ(built, 1);
  auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "kept costly");
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
