#include "platform/foundation/Bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/foundation/PropertyList.h"

namespace platform {

namespace {

bool isDirectory(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

std::string dirName(const std::string& p) {
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

std::string baseName(const std::string& p) {
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string stripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string selfExecutable() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

struct MainState {
  std::mutex mutex;
  std::shared_ptr<Bundle> override;
  bool removed = false;
  std::shared_ptr<Bundle> cached;
  std::string cachedFor;  // the VRL_MAIN_BUNDLE value the cache was made for
};

MainState& mainState() {
  static MainState* state = new MainState();
  return *state;
}

}  // namespace

Bundle::Bundle(std::string path) : path_(stripTrailingSlashes(std::move(path))) {
  std::string infoPath = isAppFolder() ? path_ + "/Contents/Info.plist" : path_ + "/Info.plist";
  if (exists(infoPath)) {
    // A damaged Info.plist leaves the bundle usable with no info values.
    if (auto v = readPropertyListFile(infoPath))
      if (const Dictionary* d = v->asDictionary()) info_ = *d;
  }
}

std::shared_ptr<Bundle> Bundle::atPath(const std::string& path) {
  if (path.empty() || !isDirectory(path)) return nullptr;
  return std::make_shared<Bundle>(path);
}

std::shared_ptr<Bundle> Bundle::main() {
  MainState& st = mainState();
  std::lock_guard<std::mutex> lock(st.mutex);
  if (st.removed) return nullptr;
  if (st.override) return st.override;
  const char* env = std::getenv("VRL_MAIN_BUNDLE");
  std::string envPath = env ? env : "";
  if (st.cached && st.cachedFor == envPath) return st.cached;

  std::shared_ptr<Bundle> bundle;
  if (!envPath.empty()) bundle = atPath(envPath);
  if (!bundle) {
    std::string exe = selfExecutable();
    std::string macos = dirName(exe);
    std::string contents = dirName(macos);
    std::string app = dirName(contents);
    if (baseName(macos) == "MacOS" && baseName(contents) == "Contents" && endsWith(app, ".app"))
      bundle = atPath(app);
    if (!bundle) {
      bundle = std::make_shared<Bundle>(macos);
      bundle->plainExecutable_ = exe;
    }
  }
  st.cached = bundle;
  st.cachedFor = envPath;
  return bundle;
}

void Bundle::setMainBundleForTesting(std::shared_ptr<Bundle> bundle) {
  MainState& st = mainState();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.override = std::move(bundle);
  st.removed = false;
}

void Bundle::removeMainBundleForTesting() {
  MainState& st = mainState();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.override.reset();
  st.removed = true;
}

bool Bundle::isAppFolder() const { return isDirectory(path_ + "/Contents"); }

std::string Bundle::contentsPath() const { return isAppFolder() ? path_ + "/Contents" : path_; }

std::string Bundle::resourcePath() const { return isAppFolder() ? path_ + "/Contents/Resources" : path_; }

std::string Bundle::executablePath() const {
  if (!isAppFolder()) return plainExecutable_;
  std::string name;
  if (const Value* v = objectForInfoDictionaryKey("CFBundleExecutable"))
    if (const std::string* s = v->asString()) name = *s;
  if (name.empty()) {
    name = baseName(path_);
    if (endsWith(name, ".app")) name.resize(name.size() - 4);
  }
  return path_ + "/Contents/MacOS/" + name;
}

std::string Bundle::bundleIdentifier() const {
  if (const Value* v = objectForInfoDictionaryKey("CFBundleIdentifier"))
    if (const std::string* s = v->asString()) return *s;
  return {};
}

const Value* Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  auto it = info_.find(key);
  return it == info_.end() ? nullptr : &it->second;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) const {
  if (name.empty()) return std::nullopt;
  std::string file = name;
  if (!type.empty()) file += type.front() == '.' ? type : "." + type;
  std::string full = resourcePath() + "/" + file;
  if (!exists(full)) return std::nullopt;
  return full;
}

}  // namespace platform
