#include "platform/logging/SystemLogger.h"

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/syslog_sink.h>

#include "platform/logging/SpdlogBridge.h"

namespace platform::logging {

std::shared_ptr<SystemLogger> SystemLogger::shared() {
  static const std::shared_ptr<SystemLogger> logger(new SystemLogger());
  return logger;
}

SystemLogger::SystemLogger()
    // Empty ident: the system log names the program itself. The system log stamps the time.
    : sink_(std::make_shared<spdlog::sinks::syslog_sink<spdlog::details::null_mutex>>("", LOG_PID, LOG_USER,
                                                                                       false)) {}

void SystemLogger::logMessage(const LogMessage& message) {
  const std::string line = formatLogMessage(message, false);
  std::lock_guard<std::mutex> lock(mutex_);
  sink_->log(toSpdlog(message, line));
}

}  // namespace platform::logging
