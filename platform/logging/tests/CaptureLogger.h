#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/logging/Log.h"

namespace platform::logging::testing {

class CaptureLogger : public Logger {
 public:
  void logMessage(const LogMessage& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
  }
  void flush() override { ++flushes; }

  std::vector<LogMessage> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& m : messages()) out.push_back(m.message);
    return out;
  }

  std::atomic<int> flushes{0};

 private:
  mutable std::mutex mutex_;
  std::vector<LogMessage> messages_;
};

inline LogMessage textMessage(std::string text, LogFlag flag = LogFlag::Info) {
  LogMessage m;
  m.message = std::move(text);
  m.flag = flag;
  return m;
}

}  // namespace platform::logging::testing
