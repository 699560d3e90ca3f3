#include "platform/logging/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform::logging {
namespace {

std::atomic<std::uint32_t> gLevel{static_cast<std::uint32_t>(LogLevel::All)};
std::atomic<bool> gAsync{false};

std::string_view baseName(std::string_view path) {
  auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

const char* flagName(LogFlag flag) {
  switch (flag) {
    case LogFlag::Error: return "error";
    case LogFlag::Warning: return "warning";
    case LogFlag::Info: return "info";
    case LogFlag::Debug: return "debug";
    case LogFlag::Verbose: return "verbose";
  }
  return "unknown";
}

LogLevel dynamicLogLevel() { return static_cast<LogLevel>(gLevel.load(std::memory_order_relaxed)); }
void setDynamicLogLevel(LogLevel level) { gLevel.store(static_cast<std::uint32_t>(level), std::memory_order_relaxed); }
bool asyncLoggingEnabled() { return gAsync.load(std::memory_order_relaxed); }
void setAsyncLoggingEnabled(bool enabled) { gAsync.store(enabled, std::memory_order_relaxed); }

std::string formatLogMessage(const LogMessage& m, bool withTimestamp) {
  std::string out;
  out.reserve(m.message.size() + m.file.size() + m.function.size() + 64);
  if (withTimestamp) {
    using namespace std::chrono;
    const auto sinceEpoch = m.timestamp.time_since_epoch();
    const std::time_t seconds = duration_cast<std::chrono::seconds>(sinceEpoch).count();
    auto millis = duration_cast<milliseconds>(sinceEpoch).count() % 1000;
    if (millis < 0) millis += 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[40];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d ", static_cast<int>(millis));
    out += stamp;
  }
  out += '[';
  out += flagName(m.flag);
  out += "] ";
  out += baseName(m.file);
  out += ':';
  out += std::to_string(m.line);
  out += ' ';
  out += m.function;
  out += ": ";
  out += m.message;
  return out;
}

Log::Log() {
  worker_ = std::thread([this] { run(); });
  workerId_ = worker_.get_id();
}

Log::~Log() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  worker_.join();
}

Log& Log::shared() {
  // Never destroyed: statements may still run during static destruction of other objects.
  static Log* hub = [] {
    auto* created = new Log();
    std::atexit([] { Log::shared().flush(); });
    return created;
  }();
  return *hub;
}

void Log::addLogger(std::shared_ptr<Logger> logger) {
  if (!logger) return;
  Entry entry{Entry::Kind::Add, {}, std::move(logger), 0};
  submit(std::move(entry), true);
}

void Log::removeLogger(const std::shared_ptr<Logger>& logger) {
  if (!logger) return;
  submit(Entry{Entry::Kind::Remove, {}, logger, 0}, true);
}

void Log::removeAllLoggers() { submit(Entry{Entry::Kind::RemoveAll, {}, nullptr, 0}, true); }

std::vector<std::shared_ptr<Logger>> Log::allLoggers() const {
  std::lock_guard<std::mutex> lock(loggersMutex_);
  return loggers_;
}

void Log::log(bool asynchronous, LogMessage message) {
  if (message.timestamp == std::chrono::system_clock::time_point{}) {
    message.timestamp = std::chrono::system_clock::now();
  }
  submit(Entry{Entry::Kind::Message, std::move(message), nullptr, 0}, !asynchronous);
}

void Log::flush() { submit(Entry{Entry::Kind::Flush, {}, nullptr, 0}, true); }

void Log::submit(Entry entry, bool wait) {
  // A logger that logs or flushes from inside the hub cannot wait for itself.
  if (onWorker()) wait = false;
  std::unique_lock<std::mutex> lock(mutex_);
  entry.sequence = ++lastQueued_;
  const std::uint64_t sequence = entry.sequence;
  queue_.push_back(std::move(entry));
  queued_.notify_one();
  if (wait) done_.wait(lock, [&] { return lastDone_ >= sequence; });
}

void Log::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, and everything is written
    std::deque<Entry> batch;
    batch.swap(queue_);
    lock.unlock();
    for (Entry& entry : batch) handle(entry);
    lock.lock();
    lastDone_ = batch.back().sequence;
    done_.notify_all();
  }
  lock.unlock();
  Entry last{Entry::Kind::Flush, {}, nullptr, 0};
  handle(last);
}

void Log::handle(Entry& entry) {
  // A throwing logger must neither stop the hub nor keep the others from their messages.
  switch (entry.kind) {
    case Entry::Kind::Message:
      for (auto& logger : loggers_) {
        try {
          logger->logMessage(entry.message);
        } catch (...) {
        }
      }
      break;
    case Entry::Kind::Flush:
      for (auto& logger : loggers_) {
        try {
          logger->flush();
        } catch (...) {
        }
      }
      break;
    case Entry::Kind::Add: {
      std::lock_guard<std::mutex> lock(loggersMutex_);
      if (std::find(loggers_.begin(), loggers_.end(), entry.logger) == loggers_.end()) {
        loggers_.push_back(entry.logger);
      }
      break;
    }
    case Entry::Kind::Remove: {
      std::lock_guard<std::mutex> lock(loggersMutex_);
      loggers_.erase(std::remove(loggers_.begin(), loggers_.end(), entry.logger), loggers_.end());
      break;
    }
    case Entry::Kind::RemoveAll: {
      std::lock_guard<std::mutex> lock(loggersMutex_);
      loggers_.clear();
      break;
    }
  }
}

}  // namespace platform::logging
