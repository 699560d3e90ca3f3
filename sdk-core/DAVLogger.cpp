#include "sdk-core/DAVLogger.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/utilities/Logger.h"
#include "sdk-core/DAVLoggerInternal.h"
#include "sdk-core/DAVUserDefaults.h"

namespace {

// Resettable once-only guard: the flag is read without the lock once set.
std::mutex gSetUpMutex;
std::atomic<bool> gSetUpDone{false};
std::optional<std::vector<std::string>> gArgumentsForTesting;
std::atomic<bool> gAnalyticsDebugMode{false};

bool contains(const std::vector<std::string>& arguments, const char* wanted) {
  return std::find(arguments.begin(), arguments.end(), wanted) != arguments.end();
}

void setUpLocked() {
  platform::VULLoggerRegisterVersion(kDAVLoggerCoreVersion);

  std::vector<std::string> arguments = gArgumentsForTesting ? *gArgumentsForTesting : DAVProcessArguments();
  bool forceSTDERR = contains(arguments, kDAVLoggerForceSTDERRApplicationArgument);

  auto defaults = DAVUserDefaults::standardUserDefaults();
  bool persistedDebugMode = defaults->boolForKey(kDAVPersistedDebugModeKey);
  bool forceDebug = false;
  if (contains(arguments, kDAVDisableDebugModeApplicationArgument)) {
    defaults->removeObject(kDAVPersistedDebugModeKey);
  } else if (contains(arguments, kDAVEnableDebugModeApplicationArgument) || persistedDebugMode) {
    defaults->set(kDAVPersistedDebugModeKey, platform::Value(true));
    forceDebug = true;
  }

  platform::VULLoggerInitializeASL();
  if (forceSTDERR) platform::VULLoggerEnableSTDERR();
  if (forceDebug) platform::VULLoggerForceDebug();
}

}  // namespace

std::vector<std::string> DAVProcessArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    arguments.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

void DAVLoggerResetForTesting(std::optional<std::vector<std::string>> arguments) {
  std::lock_guard<std::mutex> lock(gSetUpMutex);
  gArgumentsForTesting = std::move(arguments);
  gSetUpDone.store(false);
  gAnalyticsDebugMode.store(false);
}

void DAVLoggerInitializeASL() {
  if (gSetUpDone.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(gSetUpMutex);
  if (gSetUpDone.load(std::memory_order_relaxed)) return;
  setUpLocked();
  gSetUpDone.store(true, std::memory_order_release);
}

void DAVSetLoggerLevel(DAVLoggerLevel loggerLevel) {
  DAVLoggerInitializeASL();
  platform::VULSetLoggerLevel(loggerLevel);
}

bool DAVIsLoggableLevel(DAVLoggerLevel loggerLevel, bool analyticsComponent) {
  DAVLoggerInitializeASL();
  if (analyticsComponent && gAnalyticsDebugMode.load()) return true;
  return platform::VULIsLoggableLevel(loggerLevel);
}

void DAVLogBasic(DAVLoggerLevel level, const std::string& service, const std::string& messageCode,
                 const char* format, va_list args) {
  DAVLoggerInitializeASL();
  bool forced = gAnalyticsDebugMode.load() && service == kDAVLoggerAnalytics;
  platform::VULLogBasic(level, service, forced, messageCode, format, args);
}

#define DAV_LOGGING_FUNCTION(name, level)                                                          \
  void name(const std::string& service, const std::string& messageCode, const char* format, ...) { \
    va_list args;                                                                                  \
    va_start(args, format);                                                                        \
    DAVLogBasic(level, service, messageCode, format, args);                                        \
    va_end(args);                                                                                  \
  }

DAV_LOGGING_FUNCTION(DAVLogError, DAVLoggerLevelError)
DAV_LOGGING_FUNCTION(DAVLogWarning, DAVLoggerLevelWarning)
DAV_LOGGING_FUNCTION(DAVLogNotice, DAVLoggerLevelNotice)
DAV_LOGGING_FUNCTION(DAVLogInfo, DAVLoggerLevelInfo)
DAV_LOGGING_FUNCTION(DAVLogDebug, DAVLoggerLevelDebug)

#undef DAV_LOGGING_FUNCTION

void DAVSetAnalyticsDebugMode(bool analyticsDebugMode) { gAnalyticsDebugMode.store(analyticsDebugMode); }

void DAVLoggerWrapper::logWithLevel(DAVLoggerLevel level, const std::string& service, const std::string& messageCode,
                                    const char* message, va_list args) {
  DAVLogBasic(level, service, messageCode, message, args);
}
