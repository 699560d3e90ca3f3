#pragma once

#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/logging/Log.h"

namespace spdlog::sinks {
class sink;
}

namespace platform::logging {

// Writes each message as one formatted line to standard error, standard output or a given stream;
// coloured by level when the stream is a terminal.
class ConsoleLogger : public Logger {
 public:
  enum class Stream { StandardOutput, StandardError };

  // The one the application attaches: standard error, so the application's own lines on standard
  // output stay apart from the log.
  static std::shared_ptr<ConsoleLogger> shared();

  explicit ConsoleLogger(Stream stream = Stream::StandardError);
  explicit ConsoleLogger(std::FILE* file);  // not owned; must stay open while the logger lives

  void logMessage(const LogMessage& message) override;
  void flush() override;

 private:
  std::mutex mutex_;
  std::shared_ptr<spdlog::sinks::sink> sink_;
};

}  // namespace platform::logging
