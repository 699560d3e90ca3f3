#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

// The user-defaults store of one domain, kept in $HOME/Library/Preferences/<domain>.plist.
// Every change is written through atomically under a lock shared by all processes, so writers of
// different keys never lose each other's keys. Reads pick up changes other processes have written.
// While the file cannot be read, reads see what was last read from it with the changes made in memory
// since on top (they wait there), and the file is left as it is until synchronizeReplacingUnreadable()
// is asked for. A readable file that takes the place of an unreadable one was written by someone who
// could not read it either: the keys it lacks keep what was last read, and are written back into it.
class UserDefaults {
 public:
  // Copies of unreadable settings kept for a person to look at; older ones go.
  static constexpr size_t kDamagedCopiesKept = 3;

  explicit UserDefaults(std::string domain);  // HOME is read here
  static std::shared_ptr<UserDefaults> forDomain(const std::string& domain);  // one instance per domain and HOME

  bool boolForKey(const std::string& key) const;        // absent -> false; "YES"/"true"/"1", numbers convert
  int64_t integerForKey(const std::string& key) const;  // absent -> 0
  double doubleForKey(const std::string& key) const;    // absent -> 0
  std::optional<std::string> stringForKey(const std::string& key) const;  // numbers convert to text
  std::optional<std::vector<std::string>> stringArrayForKey(const std::string& key) const;  // only arrays of strings
  std::optional<Value> objectForKey(const std::string& key) const;
  bool hasKey(const std::string& key) const;

  void set(const std::string& key, Value v);  // a Null value removes the key
  void removeObject(const std::string& key);
  // Re-reads changes of other processes, writes pending ones; false if a write failed or the file
  // cannot be read (the changes then wait in memory).
  bool synchronize();
  // For a change a person asked for: like synchronize(), but an unreadable file is moved aside (kept)
  // and every value held in memory (what was last read and the changes since) is written in its place.
  bool synchronizeReplacingUnreadable();
  void removePersistentDomain();  // deletes every key and the file, and the copies of unreadable ones

  // Why the settings file could not be read at the last look; nullopt when it was read or is absent.
  // Its keys then read as they were last read, with the changes made in memory since.
  std::optional<std::string> readError() const;
  // Whether a change of the key made in memory waits to be written (what was last read is none).
  bool hasUnwrittenChange(const std::string& key) const;
  // Whether the file was read (or found absent, an empty domain) at least once: what was last read is
  // then the file's, not nothing.
  bool wasEverRead() const;
  // Forgets what was read and what waits in memory, as a new process starts; for tests, which start
  // several applications in one process.
  void resetForTesting();

  std::string filePath() const;
  const std::string& domain() const { return domain_; }
  Dictionary dictionaryRepresentation() const;  // every key and value of the domain

 private:
  struct FileStamp {
    ino_t inode = 0;
    off_t size = -1;
    int64_t modified = 0;
    int64_t changed = 0;
    bool operator==(const FileStamp& o) const {
      return inode == o.inode && size == o.size && modified == o.modified && changed == o.changed;
    }
  };

  void refreshIfChanged() const;  // mutex held
  // Mutex held. True when the file took the place of one that could not be read and lacked keys last
  // read, now in lastRead_ but still to be written into it.
  bool reload() const;
  bool persist(bool replaceUnreadable);  // mutex held; takes the file lock, merges, writes
  std::optional<Value> lookup(const std::string& key) const;

  std::string domain_;
  std::string directory_;
  std::string path_;
  std::string lockPath_;

  mutable std::mutex mutex_;
  mutable Dictionary values_;    // lastRead_ plus pending changes
  mutable Dictionary lastRead_;  // what the file held when it was last read; empty when it is absent
  mutable std::optional<FileStamp> stamp_;  // of the file last read; nullopt when there was none
  mutable bool loaded_ = false;
  mutable bool everRead_ = false;
  mutable std::optional<std::string> readError_;
  std::map<std::string, std::optional<Value>> pending_;  // changes not yet on disk; nullopt removes
};

}  // namespace platform
