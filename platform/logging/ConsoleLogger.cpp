#include "platform/logging/ConsoleLogger.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>

#include "platform/logging/SpdlogBridge.h"

namespace platform::logging {

std::shared_ptr<ConsoleLogger> ConsoleLogger::shared() {
  static const auto logger = std::make_shared<ConsoleLogger>(Stream::StandardError);
  return logger;
}

ConsoleLogger::ConsoleLogger(Stream stream)
    : ConsoleLogger(stream == Stream::StandardOutput ? stdout : stderr) {}

ConsoleLogger::ConsoleLogger(std::FILE* file) {
  auto sink = std::make_shared<spdlog::sinks::ansicolor_sink<spdlog::details::console_mutex>>(
      file, spdlog::color_mode::automatic);
  // The line is formatted already; spdlog's colour range marks the whole of it.
  sink->set_formatter(std::make_unique<spdlog::pattern_formatter>("%^%v%$"));
  sink_ = std::move(sink);
}

void ConsoleLogger::logMessage(const LogMessage& message) {
  const std::string line = formatLogMessage(message);
  std::lock_guard<std::mutex> lock(mutex_);
  sink_->log(toSpdlog(message, line));
}

void ConsoleLogger::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_->flush();
}

}  // namespace platform::logging
