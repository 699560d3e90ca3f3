#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/logging/Log.h"
#include "platform/logging/LogFileManager.h"

namespace spdlog::sinks {
class sink;
}

namespace platform::logging {

// Writes every message to the current log file of its manager and starts a new file when the current
// one is older than the rolling frequency or has reached the maximum size. At its first message it
// goes on with the newest existing file when that one is still young and small enough, so restarts
// do not make a file each. Thread-safe.
class FileLogger : public Logger {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  static constexpr std::chrono::seconds kDefaultRollingFrequency{86400};
  static constexpr std::uint64_t kDefaultMaximumFileSize = 1024 * 1024;

  // A null manager takes a manager with the default directory; a null clock takes the system clock.
  explicit FileLogger(std::shared_ptr<LogFileManager> manager = nullptr, Clock clock = nullptr);
  ~FileLogger() override;

  const std::shared_ptr<LogFileManager>& logFileManager() const { return manager_; }

  std::chrono::seconds rollingFrequency() const;
  void setRollingFrequency(std::chrono::seconds frequency);  // 0: never by age
  std::uint64_t maximumFileSize() const;
  void setMaximumFileSize(std::uint64_t bytes);  // 0: no limit

  // The file being written; opens one when none is open. Empty when no file can be made.
  std::string currentLogFilePath();
  // Closes the current file; the next message goes to a new one.
  void rollLogFile();

  void logMessage(const LogMessage& message) override;
  void flush() override;

 private:
  bool openLocked(std::chrono::system_clock::time_point now);
  void closeLocked();
  bool dueLocked(std::chrono::system_clock::time_point now) const;

  std::shared_ptr<LogFileManager> manager_;
  Clock clock_;
  mutable std::mutex mutex_;
  std::chrono::seconds frequency_ = kDefaultRollingFrequency;
  std::uint64_t maximumSize_ = kDefaultMaximumFileSize;
  std::shared_ptr<spdlog::sinks::sink> sink_;
  std::string currentPath_;
  std::chrono::system_clock::time_point currentCreated_{};
  std::uint64_t currentSize_ = 0;
  bool mayReuse_ = true;
  std::string lastError_;
};

}  // namespace platform::logging
