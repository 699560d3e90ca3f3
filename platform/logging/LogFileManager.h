#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::logging {

// The log files of one directory: "<prefix> YYYY-MM-DD--HH-MM-SS-mmm.log", stamped with their creation
// time in UTC (a "_N" before ".log" tells apart files made in the same millisecond). Other files in
// the directory are left alone. Thread-safe.
class LogFileManager {
 public:
  static constexpr std::size_t kDefaultMaximumNumberOfLogFiles = 5;

  // Empty arguments take the defaults below.
  explicit LogFileManager(std::string logsDirectory = {}, std::string fileNamePrefix = {});

  static std::string defaultLogsDirectory();   // $HOME/Library/Logs/<program name>
  static std::string defaultFileNamePrefix();  // the program name

  const std::string& logsDirectory() const { return directory_; }
  const std::string& fileNamePrefix() const { return prefix_; }

  // Files kept, the current one included; 0 keeps all. Lowering it deletes the oldest files at once.
  std::size_t maximumNumberOfLogFiles() const;
  void setMaximumNumberOfLogFiles(std::size_t count);

  // Full paths of the log files, newest first.
  std::vector<std::string> sortedLogFilePaths() const;

  // Makes a new, empty log file stamped `now` and deletes the oldest files over the maximum.
  // Returns its path, or nullopt (with the reason in *error) when it cannot be made.
  std::optional<std::string> createNewLogFile(std::chrono::system_clock::time_point now,
                                              std::string* error = nullptr);

  // The creation time written in a log file's name; nullopt for a file that is not a log file of ours.
  std::optional<std::chrono::system_clock::time_point> creationDate(const std::string& path) const;

  void deleteOldLogFiles();

 private:
  struct Entry;
  std::vector<Entry> sortedEntries() const;

  std::string directory_;
  std::string prefix_;
  mutable std::mutex mutex_;
  std::size_t maximumFiles_ = kDefaultMaximumNumberOfLogFiles;
};

}  // namespace platform::logging
