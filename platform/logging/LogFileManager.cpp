#include "platform/logging/LogFileManager.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>  // program_invocation_short_name
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <tuple>

namespace fs = std::filesystem;

namespace platform::logging {

struct LogFileManager::Entry {
  std::string path;
  std::chrono::system_clock::time_point created;
  long serial = 0;
};

namespace {

constexpr std::size_t kStampLength = 24;  // "2024-05-01--10-00-00-123"

std::string programName() {
  const char* name = program_invocation_short_name;
  return (name && *name) ? name : "Vorellin";
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::string stampFor(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  int millis = static_cast<int>(ms % 1000);
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d--%02d-%02d-%02d-%03d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return buf;
}

std::optional<std::chrono::system_clock::time_point> parseStamp(const std::string& s) {
  if (s.size() != kStampLength) return std::nullopt;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 4 || i == 7 || i == 10 || i == 11 || i == 14 || i == 17 || i == 20;
    if (dash ? s[i] != '-' : (s[i] < '0' || s[i] > '9')) return std::nullopt;
  }
  auto num = [&](size_t pos, size_t len) { return std::stoi(s.substr(pos, len)); };
  std::tm utc{};
  utc.tm_year = num(0, 4) - 1900;
  utc.tm_mon = num(5, 2) - 1;
  utc.tm_mday = num(8, 2);
  utc.tm_hour = num(12, 2);
  utc.tm_min = num(15, 2);
  utc.tm_sec = num(18, 2);
  const std::time_t seconds = timegm(&utc);
  return std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(num(21, 3));
}

}  // namespace

LogFileManager::LogFileManager(std::string logsDirectory, std::string fileNamePrefix)
    : directory_(logsDirectory.empty() ? defaultLogsDirectory() : std::move(logsDirectory)),
      prefix_(fileNamePrefix.empty() ? defaultFileNamePrefix() : std::move(fileNamePrefix)) {}

std::string LogFileManager::defaultLogsDirectory() {
  return homeDirectory() + "/Library/Logs/" + programName();
}

std::string LogFileManager::defaultFileNamePrefix() { return programName(); }

std::size_t LogFileManager::maximumNumberOfLogFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return maximumFiles_;
}

void LogFileManager::setMaximumNumberOfLogFiles(std::size_t count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    maximumFiles_ = count;
  }
  deleteOldLogFiles();
}

std::optional<std::chrono::system_clock::time_point> LogFileManager::creationDate(const std::string& path) const {
  const std::string name = fs::path(path).filename().string();
  const std::string head = prefix_ + " ";
  const std::string tail = ".log";
  if (name.size() < head.size() + kStampLength + tail.size()) return std::nullopt;
  if (name.compare(0, head.size(), head) != 0) return std::nullopt;
  if (name.compare(name.size() - tail.size(), tail.size(), tail) != 0) return std::nullopt;
  const std::string rest = name.substr(head.size(), name.size() - head.size() - tail.size());
  const std::string serial = rest.substr(kStampLength);
  if (!serial.empty()) {
    if (serial.size() < 2 || serial[0] != '_') return std::nullopt;
    if (!std::all_of(serial.begin() + 1, serial.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
  }
  return parseStamp(rest.substr(0, kStampLength));
}

std::vector<LogFileManager::Entry> LogFileManager::sortedEntries() const {
  std::vector<Entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    const std::string path = it->path().string();
    const auto created = creationDate(path);
    if (!created) continue;
    const std::string name = it->path().filename().string();
    const auto underscore = name.find('_', prefix_.size() + 1 + kStampLength);
    long serial = 0;
    if (underscore != std::string::npos) serial = std::strtol(name.c_str() + underscore + 1, nullptr, 10);
    entries.push_back(Entry{path, *created, serial});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.created, a.serial) > std::tie(b.created, b.serial);
  });
  return entries;
}

std::vector<std::string> LogFileManager::sortedLogFilePaths() const {
  std::vector<std::string> paths;
  for (auto& entry : sortedEntries()) paths.push_back(std::move(entry.path));
  return paths;
}

std::optional<std::string> LogFileManager::createNewLogFile(std::chrono::system_clock::time_point now,
                                                            std::string* error) {
  // The logs name services, resolvers and the public address: readable by the owner only.
  std::error_code ec;
  fs::create_directories(directory_, ec);
  if (!ec) fs::permissions(directory_, fs::perms::owner_all, fs::perm_options::replace, ec);
  if (ec) {
    if (error) *error = "cannot create " + directory_ + ": " + ec.message();
    return std::nullopt;
  }
  const std::string stamp = stampFor(now);
  for (int serial = 0; serial < 10000; ++serial) {
    std::string path = directory_ + "/" + prefix_ + " " + stamp;
    if (serial > 0) path += "_" + std::to_string(serial);
    path += ".log";
    // O_EXCL: another logger (or process) writing to the same directory never gets the same file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      deleteOldLogFiles();
      return path;
    }
    if (errno != EEXIST) {
      if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
      return std::nullopt;
    }
  }
  if (error) *error = "cannot find a free log file name in " + directory_;
  return std::nullopt;
}

void LogFileManager::deleteOldLogFiles() {
  const std::size_t keep = maximumNumberOfLogFiles();
  if (keep == 0) return;
  const auto entries = sortedEntries();
  for (std::size_t i = keep; i < entries.size(); ++i) {
    std::error_code ec;
    fs::remove(entries[i].path, ec);
  }
}

}  // namespace platform::logging
