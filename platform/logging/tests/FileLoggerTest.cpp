#include "platform/logging/FileLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/logging/tests/CaptureLogger.h"

namespace fs = std::filesystem;

namespace platform::logging {
namespace {

using testing::textMessage;
using std::chrono::seconds;

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vrl-logging-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    dir = root + "/Logs";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  std::shared_ptr<FileLogger> makeLogger() {
    auto manager = std::make_shared<LogFileManager>(dir, "Vorellin");
    return std::make_shared<FileLogger>(manager, [this] { return now.load(); });
  }
  static void write(FileLogger& logger, const std::string& text) { logger.logMessage(textMessage(text)); }

  std::string root, dir;
  // 2024-03-10 12:00:00.250 UTC
  std::atomic<std::chrono::system_clock::time_point> now{std::chrono::system_clock::from_time_t(1710072000) +
                                                         std::chrono::milliseconds(250)};
};

TEST_F(FileLoggerTest, RollsWhenTheFileIsOlderThanTheRollingFrequency) {
  auto logger = makeLogger();
  EXPECT_EQ(logger->rollingFrequency(), seconds(86400));
  logger->setRollingFrequency(seconds(10));
  const auto start = now.load();
  write(*logger, "a");
  now = start + seconds(5);
  write(*logger, "b");
  now = start + seconds(9) + std::chrono::milliseconds(999);
  write(*logger, "c");
  const std::string first = logger->currentLogFilePath();
  now = start + seconds(10);
  write(*logger, "d");
  const std::string second = logger->currentLogFilePath();

  ASSERT_NE(first, second);
  EXPECT_EQ(fs::path(first).filename(), "Vorellin 2024-03-10--12-00-00-250.log");
  EXPECT_EQ(fs::path(second).filename(), "Vorellin 2024-03-10--12-00-10-250.log");
  EXPECT_EQ(logger->logFileManager()->creationDate(second), start + seconds(10));
  EXPECT_EQ(logger->logFileManager()->sortedLogFilePaths(), (std::vector<std::string>{second, first}));

  const auto old = readLines(first);
  ASSERT_EQ(old.size(), 3u);
  EXPECT_TRUE(endsWith(old[0], ": a"));
  EXPECT_TRUE(endsWith(old[1], ": b"));
  EXPECT_TRUE(endsWith(old[2], ": c"));
  const auto current = readLines(second);
  ASSERT_EQ(current.size(), 1u);
  EXPECT_TRUE(endsWith(current[0], ": d"));

  // Asking for the path after the period is over already gives the next file.
  now = start + seconds(25);
  EXPECT_EQ(fs::path(logger->currentLogFilePath()).filename(), "Vorellin 2024-03-10--12-00-25-250.log");
}

TEST_F(FileLoggerTest, LogFolderAndFilesAreReadableByTheOwnerOnly) {
  // A folder left open by an earlier version is closed as well.
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);
  auto logger = makeLogger();
  logger->setRollingFrequency(seconds(10));
  write(*logger, "service Wi-Fi set to 10.0.0.1");
  now = now.load() + seconds(10);
  write(*logger, "public IP 203.0.113.7");
  EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
  const auto paths = logger->logFileManager()->sortedLogFilePaths();
  ASSERT_EQ(paths.size(), 2u);
  for (const std::string& path : paths)
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write) << path;
}

TEST_F(FileLoggerTest, KeepsTheNewestFilesUpToTheMaximumAndLeavesOtherFilesAlone) {
  fs::create_directories(dir);
  std::ofstream(dir + "/notes.txt") << "keep";
  std::ofstream(dir + "/Other 2020-01-01--00-00-00-000.log") << "keep";
  std::ofstream(dir + "/Vorellin backup.log") << "keep";

  auto logger = makeLogger();
  EXPECT_EQ(logger->logFileManager()->maximumNumberOfLogFiles(), 5u);
  logger->setRollingFrequency(seconds(60));
  logger->logFileManager()->setMaximumNumberOfLogFiles(3);
  const auto start = now.load();
  for (int i = 0; i < 6; ++i) {
    now = start + seconds(60 * i);
    write(*logger, "message " + std::to_string(i));
  }
  const auto paths = logger->logFileManager()->sortedLogFilePaths();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[0], logger->currentLogFilePath());
  for (int k = 0; k < 3; ++k) {
    const auto lines = readLines(paths[k]);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(endsWith(lines[0], ": message " + std::to_string(5 - k))) << lines[0];
  }
  EXPECT_TRUE(fs::exists(dir + "/notes.txt"));
  EXPECT_TRUE(fs::exists(dir + "/Other 2020-01-01--00-00-00-000.log"));
  EXPECT_TRUE(fs::exists(dir + "/Vorellin backup.log"));

  // Lowering the maximum deletes the oldest at once; the current file stays.
  logger->logFileManager()->setMaximumNumberOfLogFiles(1);
  EXPECT_EQ(logger->logFileManager()->sortedLogFilePaths(), std::vector<std::string>{paths[0]});
  write(*logger, "still here");
  EXPECT_EQ(readLines(paths[0]).size(), 2u);
}

TEST_F(FileLoggerTest, SortsNewestFirstEvenForFilesMadeInTheSameMillisecond) {
  auto logger = makeLogger();
  logger->logFileManager()->setMaximumNumberOfLogFiles(0);  // keep all
  std::vector<std::string> made;
  for (int i = 0; i < 12; ++i) {  // serials up to 11: numeric order, not text order
    logger->rollLogFile();
    made.push_back(logger->currentLogFilePath());
  }
  EXPECT_EQ(fs::path(made[11]).filename(), "Vorellin 2024-03-10--12-00-00-250_11.log");
  now = now.load() + std::chrono::milliseconds(1);
  logger->rollLogFile();
  made.push_back(logger->currentLogFilePath());
  EXPECT_EQ(fs::path(made.back()).filename(), "Vorellin 2024-03-10--12-00-00-251.log");

  std::vector<std::string> newestFirst(made.rbegin(), made.rend());
  EXPECT_EQ(logger->logFileManager()->sortedLogFilePaths(), newestFirst);
}

TEST_F(FileLoggerTest, GoesOnWithAYoungFileAfterARestartButNotWithAnOldOne) {
  const auto start = now.load();
  std::string first;
  {
    auto logger = makeLogger();
    logger->setRollingFrequency(seconds(100));
    write(*logger, "run 1");
    first = logger->currentLogFilePath();
  }
  now = start + seconds(50);
  {
    auto logger = makeLogger();
    logger->setRollingFrequency(seconds(100));
    write(*logger, "run 2");
    EXPECT_EQ(logger->currentLogFilePath(), first);
    // Still rolls by the file's own age, not the time this logger started.
    now = start + seconds(100);
    write(*logger, "run 2 later");
    EXPECT_NE(logger->currentLogFilePath(), first);
  }
  const auto lines = readLines(first);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(endsWith(lines[1], ": run 2"));

  now = start + seconds(500);
  auto logger = makeLogger();
  logger->setRollingFrequency(seconds(100));
  write(*logger, "run 3");
  EXPECT_EQ(readLines(logger->currentLogFilePath()).size(), 1u);
  EXPECT_EQ(logger->logFileManager()->sortedLogFilePaths().size(), 3u);
}

TEST_F(FileLoggerTest, RollsWhenTheFileReachesTheMaximumSize) {
  auto logger = makeLogger();
  EXPECT_EQ(logger->maximumFileSize(), 1024u * 1024u);
  logger->setMaximumFileSize(250);
  logger->logFileManager()->setMaximumNumberOfLogFiles(0);
  const std::string text(100, 'x');  // each line is well over 100 bytes
  for (int i = 0; i < 6; ++i) write(*logger, text + std::to_string(i));
  const auto paths = logger->logFileManager()->sortedLogFilePaths();
  ASSERT_EQ(paths.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    const auto lines = readLines(paths[2 - k]);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(endsWith(lines[0], text + std::to_string(2 * k)));
    EXPECT_TRUE(endsWith(lines[1], text + std::to_string(2 * k + 1)));
  }
}

TEST_F(FileLoggerTest, ADirectoryThatCannotBeMadeDropsMessagesWithoutFailing) {
  std::ofstream(root + "/blocker") << "a file where the directory should be";
  auto logger = std::make_shared<FileLogger>(std::make_shared<LogFileManager>(root + "/blocker/Logs", "Vorellin"));
  write(*logger, "lost");
  EXPECT_EQ(logger->currentLogFilePath(), "");
  EXPECT_TRUE(logger->logFileManager()->sortedLogFilePaths().empty());
}

TEST_F(FileLoggerTest, ThreadsLoggingThroughTheHubWhileItRollsKeepEveryLineWhole) {
  auto logger = makeLogger();
  logger->setMaximumFileSize(4096);
  logger->logFileManager()->setMaximumNumberOfLogFiles(0);
  constexpr int kThreads = 4, kEach = 300;
  {
    Log hub;
    hub.addLogger(logger);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          LogMessage m = textMessage("t" + std::to_string(t) + " n" + std::to_string(i), LogFlag::Debug);
          m.file = "Worker.cpp";
          m.function = "work()";
          m.line = t;
          hub.log(i % 3 != 0, m);
          if (i % 50 == 0) (void)logger->currentLogFilePath();  // readers on other threads meanwhile
        }
      });
    }
    for (auto& thread : threads) thread.join();
    hub.flush();
  }
  auto paths = logger->logFileManager()->sortedLogFilePaths();
  EXPECT_GT(paths.size(), 1u);
  std::reverse(paths.begin(), paths.end());  // oldest first
  std::vector<int> next(kThreads, 0);
  int total = 0;
  for (const auto& path : paths) {
    for (const auto& line : readLines(path)) {
      const auto at = line.find("[debug] Worker.cpp:");
      ASSERT_NE(at, std::string::npos) << line;
      std::istringstream rest(line.substr(line.find(" work(): t") + 10));
      int t = -1, i = -1;
      char n = 0;
      rest >> t >> n >> i;
      ASSERT_EQ(n, 'n') << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      ASSERT_EQ(i, next[t]) << line;
      ++next[t];
      ++total;
    }
  }
  EXPECT_EQ(total, kThreads * kEach);
}

}  // namespace
}  // namespace platform::logging
