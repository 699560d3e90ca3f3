#include "platform/logging/Log.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <regex>
#include <stdexcept>
#include <thread>

#include "platform/logging/ConsoleLogger.h"
#include "platform/logging/tests/CaptureLogger.h"

namespace platform::logging {
namespace {

using testing::CaptureLogger;
using testing::textMessage;

// Statements go to the shared hub; each test attaches its own capture and restores the globals.
class StatementTest : public ::testing::Test {
 protected:
  void SetUp() override { Log::shared().addLogger(capture); }
  void TearDown() override {
    Log::shared().flush();
    Log::shared().removeLogger(capture);
    setDynamicLogLevel(LogLevel::All);
    setAsyncLoggingEnabled(false);
  }
  std::shared_ptr<CaptureLogger> capture = std::make_shared<CaptureLogger>();
};

TEST(LogLevelTest, EachLevelLetsItsFlagAndTheMoreSevereOnesThrough) {
  const LogFlag flags[] = {LogFlag::Error, LogFlag::Warning, LogFlag::Info, LogFlag::Debug, LogFlag::Verbose};
  const std::map<LogLevel, int> passing = {{LogLevel::Off, 0},   {LogLevel::Error, 1},   {LogLevel::Warning, 2},
                                           {LogLevel::Info, 3},  {LogLevel::Debug, 4},   {LogLevel::Verbose, 5},
                                           {LogLevel::All, 5}};
  for (const auto& [level, count] : passing) {
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(letsThrough(level, flags[i]), i < count) << static_cast<unsigned>(level) << " flag " << i;
    }
  }
  EXPECT_EQ(dynamicLogLevel(), LogLevel::All);  // the default lets everything through
  EXPECT_FALSE(asyncLoggingEnabled());
}

TEST_F(StatementTest, FilteredStatementNeverBuildsItsMessage) {
  int evaluations = 0;
  auto expensive = [&] {
    ++evaluations;
    return std::string("output");
  };
  setDynamicLogLevel(LogLevel::Debug);
  VRL_LOG_VERBOSE("verbose " << expensive());
  EXPECT_EQ(evaluations, 0);
  VRL_LOG_DEBUG("debug " << expensive());
  EXPECT_EQ(evaluations, 1);
  VRL_LOG_ERROR("error " << expensive());
  EXPECT_EQ(evaluations, 2);

  setDynamicLogLevel(LogLevel::Info);
  VRL_LOG_DEBUG("debug " << expensive());
  VRL_LOG_VERBOSE_AT("f.cpp", "fn", 1, expensive());
  EXPECT_EQ(evaluations, 2);
  VRL_LOG_INFO("info " << expensive());
  EXPECT_EQ(evaluations, 3);

  setDynamicLogLevel(LogLevel::Off);
  VRL_LOG_ERROR(expensive());
  logStatement(LogFlag::Error, "f.cpp", "fn", 1, [&](std::ostream& os) { os << expensive(); });
  EXPECT_EQ(evaluations, 3);

  const auto texts = capture->texts();
  EXPECT_EQ(texts, (std::vector<std::string>{"debug output", "error output", "info output"}));
  const auto messages = capture->messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].flag, LogFlag::Debug);
  EXPECT_EQ(messages[1].flag, LogFlag::Error);
  EXPECT_EQ(messages[2].flag, LogFlag::Info);
}

TEST_F(StatementTest, MessagesCarryFileFunctionAndLine) {
  const auto before = std::chrono::system_clock::now();
  const int implicitLine = __LINE__ + 1;
  VRL_LOG_INFO("value " << 42 << ", " << 1.5);
  VRL_LOG_DEBUG_AT("/src/AppDelegate.swift", "listenToPin(uid:)", 318, "pin " << "changed");
  logStatement(LogFlag::Verbose, std::string("Main.swift"), std::string("btnVRL(_:)"), 77,
               [](std::ostream& os) { os << "lambda"; });

  const auto messages = capture->messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].message, "value 42, 1.5");
  EXPECT_NE(messages[0].file.find("LogTest.cpp"), std::string::npos) << messages[0].file;
  EXPECT_EQ(messages[0].function, "TestBody");
  EXPECT_EQ(messages[0].line, implicitLine);
  EXPECT_EQ(messages[0].level, LogLevel::All);
  EXPECT_EQ(messages[0].context, 0);
  EXPECT_TRUE(messages[0].tag.empty());
  EXPECT_GE(messages[0].timestamp, before);
  EXPECT_LE(messages[0].timestamp, std::chrono::system_clock::now());

  EXPECT_EQ(messages[1].message, "pin changed");
  EXPECT_EQ(messages[1].file, "/src/AppDelegate.swift");
  EXPECT_EQ(messages[1].function, "listenToPin(uid:)");
  EXPECT_EQ(messages[1].line, 318);
  EXPECT_EQ(messages[1].flag, LogFlag::Debug);

  EXPECT_EQ(messages[2].message, "lambda");
  EXPECT_EQ(messages[2].function, "btnVRL(_:)");
  EXPECT_EQ(messages[2].line, 77);
  EXPECT_EQ(messages[2].flag, LogFlag::Verbose);
}

TEST_F(StatementTest, AsyncStatementsArriveInOrderAfterFlush) {
  setAsyncLoggingEnabled(true);
  for (int i = 0; i < 2000; ++i) VRL_LOG_VERBOSE("line " << i);
  Log::shared().flush();
  const auto texts = capture->texts();
  ASSERT_EQ(texts.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(texts[i], "line " + std::to_string(i));
  EXPECT_GE(capture->flushes.load(), 1);
}

// Holds the hub's thread inside logMessage until released.
class GateLogger : public Logger {
 public:
  void logMessage(const LogMessage& message) override {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    texts.push_back(message.message);
  }
  void waitUntilEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return entered_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> texts;  // read after flush only

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
};

TEST(LogHubTest, AsynchronousLogReturnsBeforeWritingAndFlushWaits) {
  Log hub;
  auto gate = std::make_shared<GateLogger>();
  hub.addLogger(gate);
  hub.log(true, textMessage("first"));
  gate->waitUntilEntered();  // the hub's thread is stuck in the logger...
  for (int i = 0; i < 100; ++i) hub.log(true, textMessage(std::to_string(i)));  // ...yet these return
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate->open();
  });
  hub.flush();
  opener.join();
  ASSERT_EQ(gate->texts.size(), 101u);
  EXPECT_EQ(gate->texts[0], "first");
  for (int i = 0; i < 100; ++i) EXPECT_EQ(gate->texts[i + 1], std::to_string(i));
}

TEST(LogHubTest, SynchronousLogHasReachedEveryLoggerWhenItReturns) {
  Log hub;
  auto a = std::make_shared<CaptureLogger>();
  auto b = std::make_shared<CaptureLogger>();
  hub.addLogger(a);
  hub.addLogger(b);
  hub.addLogger(a);  // added once only
  EXPECT_EQ(hub.allLoggers().size(), 2u);
  for (int i = 0; i < 50; ++i) {
    hub.log(false, textMessage(std::to_string(i)));
    ASSERT_EQ(a->messages().size(), static_cast<size_t>(i + 1));
    ASSERT_EQ(b->messages().size(), static_cast<size_t>(i + 1));
  }
  EXPECT_NE(a->messages()[0].timestamp, std::chrono::system_clock::time_point{});  // stamped by the hub
}

TEST(LogHubTest, DestroyingTheHubWritesWhatIsQueued) {
  auto capture = std::make_shared<CaptureLogger>();
  {
    Log hub;
    hub.addLogger(capture);
    for (int i = 0; i < 500; ++i) hub.log(true, textMessage(std::to_string(i)));
  }
  ASSERT_EQ(capture->messages().size(), 500u);
  EXPECT_EQ(capture->texts().back(), "499");
  EXPECT_GE(capture->flushes.load(), 1);
}

TEST(LogHubTest, RemovedLoggerGetsEarlierMessagesButNoLaterOnes) {
  Log hub;
  auto gate = std::make_shared<GateLogger>();
  auto capture = std::make_shared<CaptureLogger>();
  hub.addLogger(gate);
  hub.addLogger(capture);
  hub.log(true, textMessage("queued"));
  gate->waitUntilEntered();
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate->open();
  });
  hub.removeLogger(capture);  // waits behind the queued message
  opener.join();
  hub.log(false, textMessage("after"));
  EXPECT_EQ(capture->texts(), std::vector<std::string>{"queued"});
  EXPECT_EQ(gate->texts, (std::vector<std::string>{"queued", "after"}));
  hub.removeAllLoggers();
  EXPECT_TRUE(hub.allLoggers().empty());
}

class ThrowingLogger : public Logger {
 public:
  void logMessage(const LogMessage&) override { throw std::runtime_error("disk full"); }
};

// Logs once more from inside the hub, as a logger reporting its own trouble would.
class ReentrantLogger : public Logger {
 public:
  explicit ReentrantLogger(Log& hub) : hub_(hub) {}
  void logMessage(const LogMessage& message) override {
    if (message.message == "outer") {
      hub_.log(false, textMessage("inner"));
      hub_.flush();
    }
  }

 private:
  Log& hub_;
};

TEST(LogHubTest, MisbehavingLoggersNeitherStopNorDeadlockTheHub) {
  Log hub;
  auto capture = std::make_shared<CaptureLogger>();
  hub.addLogger(std::make_shared<ThrowingLogger>());
  hub.addLogger(std::make_shared<ReentrantLogger>(hub));
  hub.addLogger(capture);
  hub.log(false, textMessage("outer"));
  hub.log(false, textMessage("last"));
  hub.flush();
  EXPECT_EQ(capture->texts(), (std::vector<std::string>{"outer", "inner", "last"}));
}

TEST(LogHubTest, ManyThreadsLoggingAtOnceLoseNothingAndKeepEachThreadsOrder) {
  Log hub;
  auto capture = std::make_shared<CaptureLogger>();
  hub.addLogger(capture);
  constexpr int kThreads = 8, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) hub.log(i % 2 == 0, textMessage(std::to_string(t) + ":" + std::to_string(i)));
    });
  }
  for (auto& thread : threads) thread.join();
  hub.flush();
  const auto texts = capture->texts();
  ASSERT_EQ(texts.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const auto& text : texts) {
    const auto colon = text.find(':');
    const int t = std::stoi(text.substr(0, colon));
    const int i = std::stoi(text.substr(colon + 1));
    ASSERT_EQ(i, next[t]) << "thread " << t;
    ++next[t];
  }
}

TEST(LogFormatTest, LineCarriesTimeLevelPlaceAndText) {
  LogMessage m = textMessage("Caller: checkDns() | Main.swift | 12", LogFlag::Verbose);
  m.file = "/home/dev/Vorellin/AppDelegate.swift";
  m.function = "listenToPin(uid:)";
  m.line = 318;
  m.timestamp = std::chrono::system_clock::now();
  const std::string line = formatLogMessage(m);
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[verbose\] .*)"))) << line;
  EXPECT_NE(line.find("[verbose] AppDelegate.swift:318 listenToPin(uid:): Caller: checkDns() | Main.swift | 12"),
            std::string::npos)
      << line;
  EXPECT_EQ(formatLogMessage(m, false),
            "[verbose] AppDelegate.swift:318 listenToPin(uid:): Caller: checkDns() | Main.swift | 12");
  m.flag = LogFlag::Error;
  EXPECT_EQ(formatLogMessage(m, false).rfind("[error] ", 0), 0u);
}

TEST(ConsoleLoggerTest, WritesOneLinePerMessageThroughTheHub) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    Log hub;
    hub.addLogger(std::make_shared<ConsoleLogger>(file));
    LogMessage m = textMessage("No network services were found", LogFlag::Error);
    m.file = "Dns.cpp";
    m.function = "applyDns(ips:)";
    m.line = 9;
    hub.log(true, m);
    hub.log(true, textMessage("second", LogFlag::Debug));
    hub.flush();
  }
  std::rewind(file);
  std::string content;
  char buf[256];
  while (std::fgets(buf, sizeof buf, file)) content += buf;
  std::fclose(file);
  EXPECT_NE(content.find("[error] Dns.cpp:9 applyDns(ips:): No network services were found\n"), std::string::npos)
      << content;
  EXPECT_NE(content.find("[debug] :0 : second\n"), std::string::npos) << content;
  EXPECT_EQ(content.find('\x1b'), std::string::npos);  // no colour codes in a file
}

}  // namespace
}  // namespace platform::logging
