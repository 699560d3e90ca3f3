#include "platform/utilities/Logger.h"

#include <syslog.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

namespace platform {
namespace {

struct LoggerBackend {
  std::mutex mutex;
  VULLoggerState state;
  std::map<VULLogObserverToken, std::function<void(const VULLogRecord&)>> observers;
  VULLogObserverToken nextToken = 1;
};

LoggerBackend& backend() {
  static auto* b = new LoggerBackend();  // never destroyed: logging may happen during static tear-down
  return *b;
}

void initializeLocked(LoggerBackend& b) {
  if (b.state.initialized) return;
  openlog("davedove", LOG_PID | LOG_NDELAY, LOG_USER);
  b.state.initialized = true;
}

std::string formatArgs(const char* format, va_list args) {
  if (!format) return std::string();
  va_list copy;
  va_copy(copy, args);
  char stackBuffer[512];
  int needed = vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
  va_end(copy);
  if (needed < 0) return std::string(format);
  if (static_cast<size_t>(needed) < sizeof stackBuffer) return std::string(stackBuffer, needed);
  std::string out(static_cast<size_t>(needed) + 1, '\0');
  va_copy(copy, args);
  vsnprintf(out.data(), out.size(), format, copy);
  va_end(copy);
  out.resize(static_cast<size_t>(needed));
  return out;
}

}  // namespace

void VULLoggerRegisterVersion(const std::string& version) {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.state.version = version;
}

void VULLoggerInitializeASL() {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  initializeLocked(b);
}

void VULLoggerEnableSTDERR() {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.state.stderrEnabled = true;
}

void VULLoggerForceDebug() {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.state.debugForced = true;
  b.state.level = kVULLoggerLevelMax;
}

void VULSetLoggerLevel(int32_t level) {
  if (level < kVULLoggerLevelMin || level > kVULLoggerLevelMax) return;
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.state.level = level;
}

bool VULIsLoggableLevel(int32_t level) {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  return b.state.debugForced || level <= b.state.level;
}

namespace {
std::string formatLine(const std::string& version, const VULLogRecord& record) {
  std::string line;
  if (!version.empty()) line = version + " - ";
  line += record.service + "[" + record.messageCode + "] " + record.message;
  return line;
}
}  // namespace

std::string VULFormatLogLine(const VULLogRecord& record) {
  auto& b = backend();
  std::string version;
  {
    std::lock_guard<std::mutex> lock(b.mutex);
    version = b.state.version;
  }
  return formatLine(version, record);
}

void VULLogBasic(int32_t level, const std::string& service, bool forceLog, const std::string& messageCode,
                 const char* format, va_list args) {
  auto& b = backend();
  std::vector<std::function<void(const VULLogRecord&)>> observers;
  VULLogRecord record;
  std::string line;
  bool toStderr = false;
  {
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!forceLog && !(b.state.debugForced || level <= b.state.level)) return;
    initializeLocked(b);
    record.level = level;
    record.service = service;
    record.messageCode = messageCode;
    record.message = formatArgs(format, args);
    record.forced = forceLog;
    line = formatLine(b.state.version, record);
    toStderr = b.state.stderrEnabled;
    for (const auto& entry : b.observers) observers.push_back(entry.second);
  }
  // Forced messages below the set level still reach the system log at their own priority.
  int priority = level < LOG_EMERG ? LOG_EMERG : (level > LOG_DEBUG ? LOG_DEBUG : level);
  syslog(priority, "%s", line.c_str());
  if (toStderr) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&now, &tmNow);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmNow);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
  }
  for (const auto& observer : observers) observer(record);
}

VULLogObserverToken VULAddLogObserver(std::function<void(const VULLogRecord&)> observer) {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  VULLogObserverToken token = b.nextToken++;
  b.observers.emplace(token, std::move(observer));
  return token;
}

void VULRemoveLogObserver(VULLogObserverToken token) {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.observers.erase(token);
}

VULLoggerState VULLoggerCurrentState() {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  return b.state;
}

void VULLoggerResetForTesting() {
  auto& b = backend();
  std::lock_guard<std::mutex> lock(b.mutex);
  if (b.state.initialized) closelog();
  b.state = VULLoggerState();
}

}  // namespace platform
