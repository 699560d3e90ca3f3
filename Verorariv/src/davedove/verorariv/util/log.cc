#include "davedove/verorariv/util/log.h"

#include <cstdarg>

#include "sdk-core/DAVLogger.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

const char kMessageCode[] = "I-VRV000001";

DAVLoggerLevel ToLoggerLevel(LogLevel level) {
  return static_cast<DAVLoggerLevel>(LogLevelToLoggerLevel(level));
}

// The logger takes an argument list; build one around the finished message.
void LogWithArgs(DAVLoggerLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  DAVLogBasic(level, kDAVLoggerVerorariv, kMessageCode, format, args);
  va_end(args);
}

}  // namespace

int LogLevelToLoggerLevel(LogLevel level) {
  switch (level) {
    case LogLevel::Debug:
      return DAVLoggerLevelDebug;
    case LogLevel::Warning:
      return DAVLoggerLevelWarning;
    case LogLevel::Error:
      return DAVLoggerLevelError;
  }
  return -1;
}

void LogSetLevel(LogLevel level) { DAVSetLoggerLevel(ToLoggerLevel(level)); }

bool LogIsLoggable(LogLevel level) { return DAVIsLoggableLevel(ToLoggerLevel(level), false); }

void LogMessage(LogLevel level, const std::string& message) {
  LogWithArgs(ToLoggerLevel(level), "%s", message.c_str());
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
