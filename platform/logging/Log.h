// The application's logging hub (stands in for DDLog and its loggers).
//
// How the application uses it:
//   * Statements, one form per level; the text after the macro name is streamed, and it is only
//     evaluated when dynamicLogLevel() lets the flag through:
//         VRL_LOG_ERROR("Could not set DNS for " << service << ": " << output);
//         VRL_LOG_INFO("reboot service");
//         VRL_LOG_DEBUG("Reach onWakeUp");
//         VRL_LOG_VERBOSE(AppUtils::shellResult(cmd).output);   // the command runs only if let through
//     The *_AT forms take file, function and line explicitly, for the places that name the operation
//     themselves ("listenToPin(uid:)") or report a caller's site:
//         VRL_LOG_VERBOSE_AT(__FILE__, "listenToPin(uid:)", __LINE__, "pin changed");
//     logStatement(flag, file, function, line, [&](std::ostream& os) { os << ...; }) is the same
//     without a macro.
//   * Launch: Log::shared().addLogger(ConsoleLogger::shared());
//             Log::shared().addLogger(SystemLogger::shared());
//             fileLogger->setRollingFrequency(std::chrono::seconds(86400));
//             fileLogger->logFileManager()->setMaximumNumberOfLogFiles(7);
//             Log::shared().addLogger(fileLogger);
//   * Bug report: fileLogger->logFileManager()->sortedLogFilePaths() (newest first).
//   * setAsyncLoggingEnabled(true): statements return before their message is written; the hub's own
//     thread writes them in order. Log::shared().flush() waits for them; the shared hub flushes at exit.
//
// Every logger of a hub is called from the hub's thread only, one message at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace platform::logging {

// One bit per kind of message.
enum class LogFlag : std::uint32_t { Error = 1, Warning = 2, Info = 4, Debug = 8, Verbose = 16 };

// A mask of flags; each level lets its own flag and every more severe one through.
enum class LogLevel : std::uint32_t {
  Off = 0,
  Error = 1,
  Warning = 3,
  Info = 7,
  Debug = 15,
  Verbose = 31,
  All = 0xFFFFFFFFu,
};

inline bool letsThrough(LogLevel level, LogFlag flag) {
  return (static_cast<std::uint32_t>(level) & static_cast<std::uint32_t>(flag)) != 0;
}

const char* flagName(LogFlag flag);  // "error", "warning", "info", "debug", "verbose"

// The global level mask tested by every statement. Default: All.
LogLevel dynamicLogLevel();
void setDynamicLogLevel(LogLevel level);

// When set, statements hand their message to the hub's thread and return at once. Default: off.
bool asyncLoggingEnabled();
void setAsyncLoggingEnabled(bool enabled);

struct LogMessage {
  std::string message;
  LogLevel level = LogLevel::All;  // the message itself carries no level limit
  LogFlag flag = LogFlag::Info;
  int context = 0;
  std::string file;
  std::string function;
  int line = 0;
  std::string tag;
  std::chrono::system_clock::time_point timestamp{};  // stamped by the hub when left empty
};

// "2024-05-01 10:00:00.123 [debug] AppDelegate.cpp:42 listenToPin(uid:): text" (local time, no newline).
// Without the timestamp for outputs that stamp messages themselves.
std::string formatLogMessage(const LogMessage& message, bool withTimestamp = true);

class Logger {
 public:
  virtual ~Logger() = default;
  virtual void logMessage(const LogMessage& message) = 0;
  virtual void flush() {}
};

class Log {
 public:
  Log();
  ~Log();  // writes what is still queued, flushes the loggers
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // The hub the statements go to; never destroyed, flushed when the process exits.
  static Log& shared();

  // Messages handed over after the call returns reach the logger; those before it do not.
  void addLogger(std::shared_ptr<Logger> logger);
  // After the call returns the logger gets nothing more; messages handed over earlier still reach it.
  void removeLogger(const std::shared_ptr<Logger>& logger);
  void removeAllLoggers();
  std::vector<std::shared_ptr<Logger>> allLoggers() const;

  // Stamps the message if needed and passes it to every logger. Synchronous: returns once every
  // logger has it. Messages are written in the order they were handed over.
  void log(bool asynchronous, LogMessage message);

  // Returns once everything handed over before the call is written and every logger is flushed.
  void flush();

 private:
  struct Entry {
    enum class Kind { Message, Flush, Add, Remove, RemoveAll } kind;
    LogMessage message;
    std::shared_ptr<Logger> logger;
    std::uint64_t sequence = 0;
  };

  void submit(Entry entry, bool wait);
  void run();
  void handle(Entry& entry);
  bool onWorker() const { return std::this_thread::get_id() == workerId_; }

  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable done_;
  std::deque<Entry> queue_;
  std::uint64_t lastQueued_ = 0;
  std::uint64_t lastDone_ = 0;
  bool stopping_ = false;

  mutable std::mutex loggersMutex_;  // written by the worker only; guards readers on other threads
  std::vector<std::shared_ptr<Logger>> loggers_;

  std::thread worker_;
  std::thread::id workerId_;
};

// Builds the message only when the global level lets `flag` through, then hands it to the shared hub
// (asynchronously when asyncLoggingEnabled()).
template <typename Build>
void logStatement(LogFlag flag, std::string_view file, std::string_view function, int line, Build&& build) {
  if (!letsThrough(dynamicLogLevel(), flag)) return;
  std::ostringstream text;
  std::forward<Build>(build)(static_cast<std::ostream&>(text));
  LogMessage message;
  message.message = text.str();
  message.flag = flag;
  message.file = std::string(file);
  message.function = std::string(function);
  message.line = line;
  message.timestamp = std::chrono::system_clock::now();
  Log::shared().log(asyncLoggingEnabled(), std::move(message));
}

}  // namespace platform::logging

#define VRL_LOG_AT(flag, file, function, line, ...)                                           \
  ::platform::logging::logStatement((flag), (file), (function), (line),                       \
                                    [&](std::ostream& vrl_log_stream_) { vrl_log_stream_ << __VA_ARGS__; })

#define VRL_LOG_ERROR_AT(file, function, line, ...) \
  VRL_LOG_AT(::platform::logging::LogFlag::Error, file, function, line, __VA_ARGS__)
#define VRL_LOG_INFO_AT(file, function, line, ...) \
  VRL_LOG_AT(::platform::logging::LogFlag::Info, file, function, line, __VA_ARGS__)
#define VRL_LOG_DEBUG_AT(file, function, line, ...) \
  VRL_LOG_AT(::platform::logging::LogFlag::Debug, file, function, line, __VA_ARGS__)
#define VRL_LOG_VERBOSE_AT(file, function, line, ...) \
  VRL_LOG_AT(::platform::logging::LogFlag::Verbose, file, function, line, __VA_ARGS__)

#define VRL_LOG_ERROR(...) VRL_LOG_ERROR_AT(__FILE__, __func__, __LINE__, __VA_ARGS__)
#define VRL_LOG_INFO(...) VRL_LOG_INFO_AT(__FILE__, __func__, __LINE__, __VA_ARGS__)
#define VRL_LOG_DEBUG(...) VRL_LOG_DEBUG_AT(__FILE__, __func__, __LINE__, __VA_ARGS__)
#define VRL_LOG_VERBOSE(...) VRL_LOG_VERBOSE_AT(__FILE__, __func__, __LINE__, __VA_ARGS__)
