#include "platform/defaults/UserDefaults.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/DamagedInput.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/System.h"
#include "platform/logging/Log.h"

namespace platform {
namespace {

// A failure here shows up in the write that follows.
void makeDirectory(const std::string& dir) { ::mkdir(dir.c_str(), 0700); }

bool readWholeFile(int fd, std::string& out) {
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

int64_t clampToInteger(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

// Leading integer of a text, like the integer reading of a string: "  42abc" -> 42, "x" -> 0.
int64_t leadingInteger(const std::string& s) {
  long long v = std::strtoll(s.c_str(), nullptr, 10);  // clamps on overflow
  return static_cast<int64_t>(v);
}

// Leading number of a text, independent of the process locale.
double leadingReal(const std::string& s) {
  size_t i = s.find_first_not_of(" \t\n\r\f\v");
  if (i == std::string::npos) return 0;
  if (s[i] == '+') ++i;
  double d = 0;
  auto res = std::from_chars(s.data() + i, s.data() + s.size(), d);
  return res.ec == std::errc() ? d : 0;
}

std::string realText(double d) {
  char buffer[64];
  auto res = std::to_chars(buffer, buffer + sizeof buffer, d);
  return std::string(buffer, res.ptr);
}

std::string preferencesDirectory() { return homeDirectory() + "/Library/Preferences"; }

}  // namespace

UserDefaults::UserDefaults(std::string domain)
    : domain_(std::move(domain)),
      directory_(preferencesDirectory()),
      path_(directory_ + "/" + domain_ + ".plist"),
      lockPath_(path_ + ".lock") {}

std::shared_ptr<UserDefaults> UserDefaults::forDomain(const std::string& domain) {
  static std::mutex registryMutex;
  static std::map<std::string, std::shared_ptr<UserDefaults>> registry;  // by file path: HOME may change
  std::string path = preferencesDirectory() + "/" + domain + ".plist";
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& slot = registry[path];
  if (!slot) slot = std::make_shared<UserDefaults>(domain);
  return slot;
}

std::string UserDefaults::filePath() const { return path_; }

bool UserDefaults::reload() const {
  const bool wasUnreadable = loaded_ && readError_;
  bool filledIn = false;
  stamp_.reset();
  std::optional<std::string> readError;
  int fd;
  do {
    fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO there must not hold us up
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno != ENOENT) readError = path_ + ": " + std::strerror(errno);
  if (fd < 0 && !readError) lastRead_.clear();  // no file: an empty domain
  if (fd >= 0) {
    // Stamp and contents come from the same open file, so a concurrent replace cannot mix them up.
    struct stat st;
    std::string bytes;
    const bool statted = ::fstat(fd, &st) == 0;
    // Only a plain file holds settings: a FIFO or a device could be read forever.
    if (statted && !S_ISREG(st.st_mode)) {
      readError = path_ + ": not a regular file";
    } else if (statted && readWholeFile(fd, bytes)) {
      stamp_ = FileStamp{st.st_ino, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                         st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
      // An unreadable or foreign file reads as an empty domain, and says so.
      std::string parseError;
      auto parsed = parsePropertyList(bytes, &parseError);
      if (!parsed) {
        readError = path_ + ": " + parseError;
      } else if (const Dictionary* dict = parsed->asDictionary()) {
        Dictionary read = *dict;
        // Its writer could not read the file it replaced: what it lacks, it did not mean to remove.
        if (wasUnreadable) {
          for (const auto& [key, value] : lastRead_) {
            if (read.count(key) || pending_.count(key)) continue;
            read.emplace(key, value);
            filledIn = true;
          }
        }
        lastRead_ = std::move(read);
      } else {
        readError = path_ + ": the settings are not a dictionary";
      }
    } else {
      readError = path_ + ": " + std::strerror(errno);
    }
    ::close(fd);
  }
  if (readError && readError != readError_)
    VRL_LOG_ERROR("Cannot read the settings of " << domain_ << ": " << *readError);
  readError_ = std::move(readError);
  everRead_ = everRead_ || !readError_;
  // An unreadable file leaves what was last read as it was.
  values_ = lastRead_;
  for (const auto& [key, change] : pending_) {
    if (change) {
      values_[key] = *change;
    } else {
      values_.erase(key);
    }
  }
  loaded_ = true;
  return filledIn;
}

void UserDefaults::refreshIfChanged() const {
  if (loaded_) {
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) {
      if (!stamp_ && !readError_) return;  // still absent
    } else {
      FileStamp now{st.st_ino, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                    st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
      if (stamp_ && *stamp_ == now) return;
    }
  }
  if (!readError_) {
    reload();
    return;
  }
  // An unreadable file is replaced under the file lock (moved aside, then the new one put in place):
  // read under it, the gap between the two never reads as a removed domain.
  FileLock lock(lockPath_);
  if (!reload()) return;
  // Settings may hold PINs: readable by the owner only.
  if (writeFileAtomically(path_, serializePropertyList(Value(lastRead_)), nullptr, 0600)) reload();
}

bool UserDefaults::persist(bool replaceUnreadable) {
  makeDirectory(directory_.substr(0, directory_.rfind('/')));  // $HOME/Library
  makeDirectory(directory_);
  FileLock lock(lockPath_);
  // What other processes wrote since our last read, with our pending changes on top.
  const bool filledIn = reload();
  if (pending_.empty() && !filledIn) return true;
  if (readError_) {
    // Never write over settings we could not read: they may hold PINs and lists. A file holding
    // only what changed since would read as everything else switched off.
    if (!replaceUnreadable) return false;
    std::string error;
    auto aside = moveDamagedFileAside(path_, &error);
    if (!aside) {
      VRL_LOG_ERROR("Settings of " << domain_ << " left unwritten: " << error);
      return false;
    }
    VRL_LOG_ERROR("Unreadable settings of " << domain_ << " kept as " << *aside);
    removeDamagedCopies(path_, kDamagedCopiesKept);
  }
  // Settings may hold PINs: readable by the owner only.
  if (!writeFileAtomically(path_, serializePropertyList(Value(values_)), nullptr, 0600)) return false;
  reload();  // records the stamp of what we just wrote; what it removed stays removed
  pending_.clear();
  return true;
}

std::optional<Value> UserDefaults::lookup(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshIfChanged();
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool UserDefaults::boolForKey(const std::string& key) const {
  auto v = lookup(key);
  if (!v) return false;
  switch (v->kind()) {
    case Value::Kind::Bool:
      return *v->asBool();
    case Value::Kind::Integer:
      return *v->asInteger() != 0;
    case Value::Kind::Real:
      return *v->asReal() != 0;
    case Value::Kind::String: {
      const std::string& s = *v->asString();
      if (strcasecmp(s.c_str(), "yes") == 0 || strcasecmp(s.c_str(), "true") == 0) return true;
      if (strcasecmp(s.c_str(), "no") == 0 || strcasecmp(s.c_str(), "false") == 0) return false;
      return leadingInteger(s) != 0;
    }
    default:
      return false;
  }
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
  auto v = lookup(key);
  if (!v) return 0;
  switch (v->kind()) {
    case Value::Kind::Bool:
      return *v->asBool() ? 1 : 0;
    case Value::Kind::Integer:
      return *v->asInteger();
    case Value::Kind::Real:
      return clampToInteger(*v->asReal());
    case Value::Kind::String:
      return leadingInteger(*v->asString());
    default:
      return 0;
  }
}

double UserDefaults::doubleForKey(const std::string& key) const {
  auto v = lookup(key);
  if (!v) return 0;
  switch (v->kind()) {
    case Value::Kind::Bool:
      return *v->asBool() ? 1 : 0;
    case Value::Kind::Integer:
    case Value::Kind::Real:
      return *v->asReal();
    case Value::Kind::String:
      return leadingReal(*v->asString());
    default:
      return 0;
  }
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  auto v = lookup(key);
  if (!v) return std::nullopt;
  switch (v->kind()) {
    case Value::Kind::String:
      return *v->asString();
    case Value::Kind::Bool:
      return std::string(*v->asBool() ? "1" : "0");
    case Value::Kind::Integer:
      return std::to_string(*v->asInteger());
    case Value::Kind::Real:
      return realText(*v->asReal());
    default:
      return std::nullopt;
  }
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayForKey(const std::string& key) const {
  auto v = lookup(key);
  if (!v) return std::nullopt;
  const Array* array = v->asArray();
  if (!array) return std::nullopt;
  std::vector<std::string> strings;
  strings.reserve(array->size());
  for (const Value& element : *array) {
    const std::string* s = element.asString();
    if (!s) return std::nullopt;
    strings.push_back(*s);
  }
  return strings;
}

std::optional<std::string> UserDefaults::readError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshIfChanged();
  return readError_;
}

bool UserDefaults::hasUnwrittenChange(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.count(key) > 0;
}

bool UserDefaults::wasEverRead() const {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshIfChanged();
  return everRead_;
}

std::optional<Value> UserDefaults::objectForKey(const std::string& key) const { return lookup(key); }

bool UserDefaults::hasKey(const std::string& key) const { return lookup(key).has_value(); }

Dictionary UserDefaults::dictionaryRepresentation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshIfChanged();
  return values_;
}

void UserDefaults::set(const std::string& key, Value v) {
  if (v.isObject()) return;  // opaque objects have no property-list form
  std::lock_guard<std::mutex> lock(mutex_);
  if (v.isNull()) {
    pending_[key] = std::nullopt;
  } else {
    pending_[key] = std::move(v);
  }
  persist(false);
}

void UserDefaults::removeObject(const std::string& key) { set(key, Value()); }

bool UserDefaults::synchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.empty()) {
    refreshIfChanged();
    return true;
  }
  return persist(false);
}

bool UserDefaults::synchronizeReplacingUnreadable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return persist(true);
}

void UserDefaults::removePersistentDomain() {
  std::lock_guard<std::mutex> lock(mutex_);
  FileLock fileLock(lockPath_);
  ::unlink(path_.c_str());
  removeDamagedCopies(path_);
  pending_.clear();
  values_.clear();
  lastRead_.clear();
  stamp_.reset();
  readError_.reset();
  loaded_ = true;
  everRead_ = true;
}

void UserDefaults::resetForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.clear();
  values_.clear();
  lastRead_.clear();
  stamp_.reset();
  readError_.reset();
  loaded_ = false;
  everRead_ = false;
}

}  // namespace platform
