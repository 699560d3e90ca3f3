#ifndef DAVEDOVE_VERORARIV_UTIL_LOG_H_
#define DAVEDOVE_VERORARIV_UTIL_LOG_H_

#include <string>

#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace util {

// The two levels the document database logs at (SDK logger levels 7 and 4).
enum class LogLevel {
  Debug = 0,
  Warning = 1,
};

// Sets the SDK logger's level.
void LogSetLevel(LogLevel level);

// Whether a message at `level` would be written.
bool LogIsLoggable(LogLevel level);

// Hands a finished message to the SDK logger under "[Davedove/Verorariv]" with code "I-VRV000001".
void LogMessage(LogLevel level, const std::string& message);

// The SDK logger's number for a level: Debug 7, Warning 4, anything else -1.
int LogLevelToLoggerLevel(LogLevel level);

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

// LOG_DEBUG("format %s", args...), LOG_WARN(...): the message is built only when it will be written.
#define LOG_DEBUG(...)                                                                      \
  do {                                                                                      \
    namespace _vrv_util = ::davedove::verorariv::util;                                      \
    if (_vrv_util::LogIsLoggable(_vrv_util::LogLevel::Debug)) {                             \
      _vrv_util::LogMessage(_vrv_util::LogLevel::Debug, _vrv_util::StringFormat(__VA_ARGS__)); \
    }                                                                                       \
  } while (0)

#define LOG_WARN(...)                                                                         \
  do {                                                                                        \
    namespace _vrv_util = ::davedove::verorariv::util;                                        \
    if (_vrv_util::LogIsLoggable(_vrv_util::LogLevel::Warning)) {                             \
      _vrv_util::LogMessage(_vrv_util::LogLevel::Warning, _vrv_util::StringFormat(__VA_ARGS__)); \
    }                                                                                         \
  } while (0)

#endif  // DAVEDOVE_VERORARIV_UTIL_LOG_H_
