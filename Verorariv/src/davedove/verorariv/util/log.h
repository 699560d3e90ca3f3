#ifndef DAVEDOVE_VERORARIV_UTIL_LOG_H_
#define DAVEDOVE_VERORARIV_UTIL_LOG_H_

#include <string>

#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace util {

// The levels the document database logs at (SDK logger levels 7, 4 and 3).
enum class LogLevel {
  Debug = 0,
  Warning = 1,
  Error = 2,
};

// Sets the SDK logger's level.
void LogSetLevel(LogLevel level);

// Whether a message at `level` would be written.
bool LogIsLoggable(LogLevel level);

// Hands a finished message to the SDK logger under "[Davedove/Verorariv]" with code "I-VRV000001".
void LogMessage(LogLevel level, const std::string& message);

// The SDK logger's number for a level: Debug 7, Warning 4, Error 3, anything else -1.
int LogLevelToLoggerLevel(LogLevel level);

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

// LOG_DEBUG("format %s", args...), LOG_WARN(...), LOG_ERROR(...): the message is built only when it
// will be written.
#define VRV_LOG_AT(level, ...)                                                                   \
  do {                                                                                           \
    namespace _vrv_util = ::davedove::verorariv::util;                                           \
    if (_vrv_util::LogIsLoggable(_vrv_util::LogLevel::level)) {                                  \
      _vrv_util::LogMessage(_vrv_util::LogLevel::level, _vrv_util::StringFormat(__VA_ARGS__));    \
    }                                                                                            \
  } while (0)

#define LOG_DEBUG(...) VRV_LOG_AT(Debug, __VA_ARGS__)
#define LOG_WARN(...) VRV_LOG_AT(Warning, __VA_ARGS__)
#define LOG_ERROR(...) VRV_LOG_AT(Error, __VA_ARGS__)

#endif  // DAVEDOVE_VERORARIV_UTIL_LOG_H_
