#include "platform/logging/FileLogger.h"

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <cstdio>
#include <filesystem>

#include "platform/logging/SpdlogBridge.h"

namespace platform::logging {

FileLogger::FileLogger(std::shared_ptr<LogFileManager> manager, Clock clock)
    : manager_(manager ? std::move(manager) : std::make_shared<LogFileManager>()),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); })) {}

FileLogger::~FileLogger() {
  std::lock_guard<std::mutex> lock(mutex_);
  closeLocked();
}

std::chrono::seconds FileLogger::rollingFrequency() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frequency_;
}

void FileLogger::setRollingFrequency(std::chrono::seconds frequency) {
  std::lock_guard<std::mutex> lock(mutex_);
  frequency_ = frequency < std::chrono::seconds(0) ? std::chrono::seconds(0) : frequency;
}

std::uint64_t FileLogger::maximumFileSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return maximumSize_;
}

void FileLogger::setMaximumFileSize(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  maximumSize_ = bytes;
}

std::string FileLogger::currentLogFilePath() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = clock_();
  if (sink_ && dueLocked(now)) closeLocked();
  if (!sink_) openLocked(now);
  return currentPath_;
}

void FileLogger::rollLogFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  closeLocked();
}

bool FileLogger::dueLocked(std::chrono::system_clock::time_point now) const {
  if (frequency_.count() > 0 && now - currentCreated_ >= frequency_) return true;
  return maximumSize_ > 0 && currentSize_ >= maximumSize_;
}

void FileLogger::closeLocked() {
  if (sink_) {
    try {
      sink_->flush();
    } catch (const std::exception&) {
    }
  }
  sink_.reset();
  currentPath_.clear();
  currentSize_ = 0;
  mayReuse_ = false;
}

bool FileLogger::openLocked(std::chrono::system_clock::time_point now) {
  std::string path;
  std::chrono::system_clock::time_point created = now;
  std::uint64_t size = 0;
  if (mayReuse_) {
    mayReuse_ = false;
    const auto paths = manager_->sortedLogFilePaths();
    if (!paths.empty()) {
      const auto date = manager_->creationDate(paths.front());
      std::error_code ec;
      const auto existingSize = std::filesystem::file_size(paths.front(), ec);
      const bool young = date && *date <= now && (frequency_.count() == 0 || now - *date < frequency_);
      const bool small = !ec && (maximumSize_ == 0 || existingSize < maximumSize_);
      if (young && small) {
        path = paths.front();
        created = *date;
        size = existingSize;
      }
    }
  }
  std::string error;
  if (path.empty()) {
    auto made = manager_->createNewLogFile(now, &error);
    if (made) path = std::move(*made);
  }
  if (!path.empty()) {
    try {
      auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(path, false);
      sink->set_formatter(std::make_unique<spdlog::pattern_formatter>("%v"));
      sink_ = std::move(sink);
      currentPath_ = std::move(path);
      currentCreated_ = created;
      currentSize_ = size;
      lastError_.clear();
      return true;
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
  // Said once per distinct failure, so a missing directory does not flood standard error.
  if (error != lastError_) {
    std::fprintf(stderr, "FileLogger: %s\n", error.c_str());
    lastError_ = error;
  }
  return false;
}

void FileLogger::logMessage(const LogMessage& message) {
  const std::string line = formatLogMessage(message);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = clock_();
  if (sink_ && dueLocked(now)) closeLocked();
  if (!sink_ && !openLocked(now)) return;
  try {
    sink_->log(toSpdlog(message, line));
    sink_->flush();  // each line reaches the file at once: a crash keeps what came before it
    currentSize_ += line.size() + 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "FileLogger: %s\n", e.what());
  }
}

void FileLogger::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sink_) {
    try {
      sink_->flush();
    } catch (const std::exception&) {
    }
  }
}

}  // namespace platform::logging
