// The SDK logger's back end: a level filter in front of the system log, optional standard error and
// in-process observers. The SDK front end (sdk-core/DAVLogger.h) is the only intended caller.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Levels follow the system log's priorities: 3 error, 4 warning, 5 notice, 6 info, 7 debug.
inline constexpr int32_t kVULLoggerLevelMin = 3;
inline constexpr int32_t kVULLoggerLevelMax = 7;
inline constexpr int32_t kVULLoggerLevelDefault = 5;

void VULLoggerRegisterVersion(const std::string& version);
// Opens the system-log sink; later calls do nothing.
void VULLoggerInitializeASL();
// Also writes every logged message to standard error.
void VULLoggerEnableSTDERR();
// Every level is logged from now on, whatever level is set.
void VULLoggerForceDebug();
// Levels outside 3...7 are ignored.
void VULSetLoggerLevel(int32_t level);
bool VULIsLoggableLevel(int32_t level);
// Writes one message when its level is logged or forceLog is set. The format follows printf rules.
void VULLogBasic(int32_t level, const std::string& service, bool forceLog, const std::string& messageCode,
                 const char* format, va_list args);

// One written message, as observers see it.
struct VULLogRecord {
  int32_t level = 0;
  std::string service;
  std::string messageCode;
  std::string message;
  bool forced = false;
};
using VULLogObserverToken = uint64_t;
// Observers run synchronously on the logging thread, for every message that is written.
VULLogObserverToken VULAddLogObserver(std::function<void(const VULLogRecord&)> observer);
void VULRemoveLogObserver(VULLogObserverToken token);

// The layout of one line on standard error and in the system log.
std::string VULFormatLogLine(const VULLogRecord& record);

// Current state, for diagnostics and tests.
struct VULLoggerState {
  std::string version;
  int32_t level = kVULLoggerLevelDefault;
  bool initialized = false;
  bool stderrEnabled = false;
  bool debugForced = false;
};
VULLoggerState VULLoggerCurrentState();
// Back to a fresh process's state (sinks closed, level notice, nothing forced); observers stay.
void VULLoggerResetForTesting();

}  // namespace platform
