// SDK logger front end: every part of the SDK logs through these functions. Each message carries a
// service name and a message code ("I-" + three upper-case letters + six digits) and goes to the
// logger back end in platform/utilities.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// Levels as signed integers; other values are passed on and left to the back end.
enum DAVLoggerLevel : int32_t {
  DAVLoggerLevelError = 3,
  DAVLoggerLevelWarning = 4,
  DAVLoggerLevelNotice = 5,
  DAVLoggerLevelInfo = 6,
  DAVLoggerLevelDebug = 7,
  DAVLoggerLevelMin = DAVLoggerLevelError,
  DAVLoggerLevelMax = DAVLoggerLevelDebug,
};

// Service names, the first argument of every log call.
inline constexpr const char kDAVLoggerABTesting[] = "[Davedove/ABTesting]";
inline constexpr const char kDAVLoggerAdMob[] = "[Davedove/AdMob]";
inline constexpr const char kDAVLoggerAnalytics[] = "[Davedove/Analytics]";
inline constexpr const char kDAVLoggerAuth[] = "[Davedove/Auth]";
inline constexpr const char kDAVLoggerCore[] = "[Davedove/Core]";
inline constexpr const char kDAVLoggerCrash[] = "[Davedove/Crash]";
inline constexpr const char kDAVLoggerDatabase[] = "[Davedove/Database]";
inline constexpr const char kDAVLoggerDynamicLinks[] = "[Davedove/DynamicLinks]";
inline constexpr const char kDAVLoggerVerorariv[] = "[Davedove/Verorariv]";
inline constexpr const char kDAVLoggerInstanceID[] = "[Davedove/InstanceID]";
inline constexpr const char kDAVLoggerInvites[] = "[Davedove/Invites]";
inline constexpr const char kDAVLoggerMLKit[] = "[Davedove/MLKit]";
inline constexpr const char kDAVLoggerMessaging[] = "[Davedove/Messaging]";
inline constexpr const char kDAVLoggerPerformance[] = "[Davedove/Performance]";
inline constexpr const char kDAVLoggerRemoteConfig[] = "[Davedove/RemoteConfig]";
inline constexpr const char kDAVLoggerStorage[] = "[Davedove/Storage]";
inline constexpr const char kDAVLoggerSwizzler[] = "[DavedoveSwizzlingUtilities]";

// Launch arguments and the user default that switch debug logging and standard-error output.
inline constexpr const char kDAVDisableDebugModeApplicationArgument[] = "-DAVDebugDisabled";
inline constexpr const char kDAVEnableDebugModeApplicationArgument[] = "-DAVDebugEnabled";
inline constexpr const char kDAVLoggerForceSTDERRApplicationArgument[] = "-DAVLoggerForceSTDERR";
inline constexpr const char kDAVPersistedDebugModeKey[] = "/variru/davedove/debug_mode";

// Core product version registered with the back end.
inline constexpr const char kDAVLoggerCoreVersion[] = "5.20.0";

// Runs the once-only set-up (launch arguments, debug-mode default, back-end sinks).
void DAVLoggerInitializeASL();

void DAVSetLoggerLevel(DAVLoggerLevel loggerLevel);

// True when a message at this level would be written; always true for the analytics component while
// the analytics debug mode is on.
bool DAVIsLoggableLevel(DAVLoggerLevel loggerLevel, bool analyticsComponent);

// Formats with printf rules (no "%@": pass C strings with "%s").
void DAVLogBasic(DAVLoggerLevel level, const std::string& service, const std::string& messageCode,
                 const char* format, va_list args);

void DAVLogError(const std::string& service, const std::string& messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void DAVLogWarning(const std::string& service, const std::string& messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void DAVLogNotice(const std::string& service, const std::string& messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void DAVLogInfo(const std::string& service, const std::string& messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void DAVLogDebug(const std::string& service, const std::string& messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Messages of "[Davedove/Analytics]" are forced through while this is on.
void DAVSetAnalyticsDebugMode(bool analyticsDebugMode);

// For callers that already hold an argument list.
class DAVLoggerWrapper {
 public:
  static void logWithLevel(DAVLoggerLevel level, const std::string& service, const std::string& messageCode,
                           const char* message, va_list args);
};
