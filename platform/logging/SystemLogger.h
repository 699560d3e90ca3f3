#pragma once

#include <memory>
#include <mutex>

#include "platform/logging/Log.h"

namespace spdlog::sinks {
class sink;
}

namespace platform::logging {

// Sends each message to the system log (syslog(3), facility user, tagged with the program name and
// process id); error, warning, info and debug become the matching priorities, verbose is debug.
// The system log is one per process, hence one shared instance.
class SystemLogger : public Logger {
 public:
  static std::shared_ptr<SystemLogger> shared();

  void logMessage(const LogMessage& message) override;

 private:
  SystemLogger();

  std::mutex mutex_;
  std::shared_ptr<spdlog::sinks::sink> sink_;
};

}  // namespace platform::logging
