#include "platform/keychain/Keychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/DamagedInput.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/System.h"
#include "platform/logging/Log.h"

namespace platform::keychain {
namespace {

const char kService[] = "svce";
const char kAccount[] = "acct";
const char kAccessGroup[] = "agrp";
const char kAccessible[] = "pdmn";
const char kData[] = "v_Data";
const char kItems[] = "genp";

// One mutex per file for the threads of this process; flock on a side file for other processes.
std::mutex& processMutexFor(const std::string& path) {
  static std::mutex guard;
  static auto* mutexes = new std::map<std::string, std::unique_ptr<std::mutex>>();
  std::lock_guard<std::mutex> lock(guard);
  auto& m = (*mutexes)[path];
  if (!m) m = std::make_unique<std::mutex>();
  return *m;
}

std::string parentDir(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool makeDirs(const std::string& dir) {
  if (dir.empty() || dir == "/" || dir == ".") return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (!makeDirs(parentDir(dir))) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// The threads of this process by mutex, other processes by the side lock file.
class ItemsLock {
 public:
  explicit ItemsLock(const std::string& path) : inProcess_(processMutexFor(path)) {
    if (makeDirs(parentDir(path))) fileLock_.emplace(path + ".lock", 0600);
  }
  bool ok() const { return fileLock_ && fileLock_->locked(); }

 private:
  std::lock_guard<std::mutex> inProcess_;
  std::optional<FileLock> fileLock_;
};

std::string stringAt(const Dictionary& d, const char* key) {
  auto it = d.find(key);
  if (it == d.end() || !it->second.asString()) return {};
  return *it->second.asString();
}

// Reads every item; false when the file exists but cannot be read. A file that reads but does not
// decode is moved aside (kept for inspection) and the keychain starts empty, so that signing in works
// again instead of failing on every start.
bool load(const std::string& path, std::vector<Item>* items) {
  items->clear();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) return false;  // not ours to move
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  std::string why;
  auto root = parsePropertyList(bytes, &why);
  const Value* list = root ? root->find(kItems) : nullptr;
  bool damaged = !root || !root->asDictionary() || (list && !list->asArray());
  if (!damaged && list) {
    for (const Value& v : *list->asArray()) {
      const Dictionary* d = v.asDictionary();
      if (!d) {
        damaged = true;
        why = "an item is not a dictionary";
        break;
      }
      Item item;
      item.service = stringAt(*d, kService);
      item.account = stringAt(*d, kAccount);
      item.accessGroup = stringAt(*d, kAccessGroup);
      item.accessible = stringAt(*d, kAccessible);
      auto data = d->find(kData);
      if (data != d->end() && data->second.asData()) item.data = *data->second.asData();
      items->push_back(std::move(item));
    }
  }
  if (!damaged) return true;
  items->clear();
  std::string error;
  auto aside = moveDamagedFileAside(path, &error);
  if (!aside) {
    VRL_LOG_ERROR("Damaged keychain " << path << " (" << why << ") cannot be moved aside: " << error);
    return false;
  }
  VRL_LOG_ERROR("Damaged keychain " << path << " (" << why << ") kept as " << *aside << "; starting an empty one");
  return true;
}

bool save(const std::string& path, const std::vector<Item>& items) {
  Array list;
  for (const Item& item : items) {
    Dictionary d;
    if (!item.service.empty()) d[kService] = Value(item.service);
    if (!item.account.empty()) d[kAccount] = Value(item.account);
    if (!item.accessGroup.empty()) d[kAccessGroup] = Value(item.accessGroup);
    if (!item.accessible.empty()) d[kAccessible] = Value(item.accessible);
    d[kData] = Value::data(item.data);
    list.emplace_back(std::move(d));
  }
  Value root(Dictionary{{kItems, Value(std::move(list))}});
  return writeFileAtomically(path, serializePropertyList(root, PlistFormat::Binary), nullptr, 0600);
}

bool matches(const Query& q, const Item& item) {
  return (!q.service || *q.service == item.service) && (!q.account || *q.account == item.account) &&
         (!q.accessGroup || *q.accessGroup == item.accessGroup);
}

bool samePrimaryKey(const Item& a, const Item& b) {
  return a.service == b.service && a.account == b.account && a.accessGroup == b.accessGroup;
}

}  // namespace

Keychain::Keychain(std::string path) : path_(std::move(path)) {}

std::string Keychain::defaultPath() { return homeDirectory() + "/Library/Keychains/vorellin-keychain.plist"; }

Keychain Keychain::standard() { return Keychain(defaultPath()); }

Status Keychain::add(const Item& item) {
  if (item.account.empty() && item.service.empty()) return kStatusParam;
  ItemsLock lock(path_);
  if (!lock.ok()) return kStatusIOError;
  std::vector<Item> items;
  if (!load(path_, &items)) return kStatusIOError;
  for (const Item& existing : items)
    if (samePrimaryKey(existing, item)) return kStatusDuplicateItem;
  items.push_back(item);
  return save(path_, items) ? kStatusSuccess : kStatusIOError;
}

Status Keychain::copyMatching(const Query& query, size_t limit, std::vector<Item>* out) const {
  if (out) out->clear();
  ItemsLock lock(path_);
  if (!lock.ok()) return kStatusIOError;
  std::vector<Item> items;
  if (!load(path_, &items)) return kStatusIOError;
  size_t found = 0;
  for (Item& item : items) {
    if (!matches(query, item)) continue;
    ++found;
    if (out) out->push_back(std::move(item));
    if (limit != 0 && found == limit) break;
  }
  return found == 0 ? kStatusItemNotFound : kStatusSuccess;
}

Status Keychain::update(const Query& query, const Changes& changes) {
  ItemsLock lock(path_);
  if (!lock.ok()) return kStatusIOError;
  std::vector<Item> items;
  if (!load(path_, &items)) return kStatusIOError;
  bool any = false;
  for (Item& item : items) {
    if (!matches(query, item)) continue;
    any = true;
    if (changes.service) item.service = *changes.service;
    if (changes.account) item.account = *changes.account;
    if (changes.accessGroup) item.accessGroup = *changes.accessGroup;
    if (changes.accessible) item.accessible = *changes.accessible;
    if (changes.data) item.data = *changes.data;
  }
  if (!any) return kStatusItemNotFound;
  for (size_t i = 0; i < items.size(); ++i)
    for (size_t j = i + 1; j < items.size(); ++j)
      if (samePrimaryKey(items[i], items[j])) return kStatusDuplicateItem;
  return save(path_, items) ? kStatusSuccess : kStatusIOError;
}

Status Keychain::deleteItems(const Query& query) {
  ItemsLock lock(path_);
  if (!lock.ok()) return kStatusIOError;
  std::vector<Item> items;
  if (!load(path_, &items)) return kStatusIOError;
  size_t before = items.size();
  std::vector<Item> kept;
  for (Item& item : items)
    if (!matches(query, item)) kept.push_back(std::move(item));
  if (kept.size() == before) return kStatusItemNotFound;
  return save(path_, kept) ? kStatusSuccess : kStatusIOError;
}

}  // namespace platform::keychain
