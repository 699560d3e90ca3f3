#include "platform/updater/UpdaterController.h"

#include <filesystem>
#include <sstream>

#include "platform/appkit/AlertPresenter.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/System.h"

namespace platform::updater {

namespace {

enum ErrorCode { kNoFeed = 1, kUnreadableFeed = 2, kDownloadFailed = 3 };

// Dotted numeric versions, compared part by part ("1.10" > "1.9"); missing parts count as 0.
int compareVersions(const std::string& a, const std::string& b) {
  std::istringstream sa(a), sb(b);
  std::string pa, pb;
  for (;;) {
    const bool ha = static_cast<bool>(std::getline(sa, pa, '.'));
    const bool hb = static_cast<bool>(std::getline(sb, pb, '.'));
    if (!ha && !hb) return 0;
    const long na = ha ? std::strtol(pa.c_str(), nullptr, 10) : 0;
    const long nb = hb ? std::strtol(pb.c_str(), nullptr, 10) : 0;
    if (na != nb) return na < nb ? -1 : 1;
  }
}

std::string textOf(const Dictionary& d, const char* key) {
  auto it = d.find(key);
  return it != d.end() && it->second.asString() ? *it->second.asString() : "";
}

// A file URL or a plain absolute path; macOS paths resolve under the platform root.
std::optional<std::string> localPath(const std::string& urlOrPath) {
  static const std::string scheme = "file://";
  std::string path = urlOrPath.rfind(scheme, 0) == 0 ? urlOrPath.substr(scheme.size()) : urlOrPath;
  if (path.empty() || path[0] != '/') return std::nullopt;
  return systemPath(path);
}

void record(const std::string& name, const Dictionary& values) {
  const std::string folder = systemPath(kRecordFolder);
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  writePropertyListFile(folder + "/" + name, Value(values));
}

}  // namespace

std::string Updater::feedPath() const {
  std::shared_ptr<Bundle> bundle = Bundle::main();
  const Value* feed = bundle ? bundle->objectForInfoDictionaryKey(kFeedURLKey) : nullptr;
  if (!feed || !feed->asString()) return "";
  return localPath(*feed->asString()).value_or("");
}

void Updater::checkForUpdates() {
  ++checks_;
  std::shared_ptr<UpdaterDelegate> delegate = delegate_.lock();
  if (!delegate) return;
  const std::string feed = feedPath();
  if (feed.empty()) {
    delegate->updaterDidAbortWithError(*this, *makeError(kUpdaterErrorDomain, kNoFeed, "The bundle names no update feed."));
    return;
  }
  std::string error;
  std::optional<Value> plist = readPropertyListFile(feed, &error);
  const Value* items = plist ? plist->find("items") : nullptr;
  if (!items || !items->asArray()) {
    delegate->updaterDidAbortWithError(
        *this, *makeError(kUpdaterErrorDomain, kUnreadableFeed, "The update feed could not be read: " + feed));
    return;
  }

  std::shared_ptr<Bundle> bundle = Bundle::main();
  const Value* current = bundle ? bundle->objectForInfoDictionaryKey("CFBundleVersion") : nullptr;
  const std::string currentVersion = current && current->asString() ? *current->asString() : "0";
  std::optional<AppcastItem> best;
  for (const Value& v : *items->asArray()) {
    const Dictionary* d = v.asDictionary();
    if (!d) continue;
    AppcastItem item;
    item.versionString = textOf(*d, "version");
    item.displayVersionString = textOf(*d, "displayVersion");
    if (item.displayVersionString.empty()) item.displayVersionString = item.versionString;
    const std::string url = textOf(*d, "url");
    if (url.rfind("file://", 0) == 0) item.fileURL = url;
    if (compareVersions(item.versionString, currentVersion) <= 0) continue;
    if (!best || compareVersions(item.versionString, best->versionString) > 0) best = item;
  }
  if (!best) {
    delegate->updaterDidNotFindUpdate(*this);
    return;
  }

  const Value* nameValue = bundle ? bundle->objectForInfoDictionaryKey("CFBundleName") : nullptr;
  const std::string name = nameValue && nameValue->asString() ? *nameValue->asString() : "The application";
  appkit::Alert ask;
  ask.messageText = "A new version of " + name + " is available!";
  ask.informativeText = name + " " + best->displayVersionString + " is now available. Would you like to install it now?";
  ask.style = appkit::AlertStyle::Informational;
  ask.buttons = {"Install Update", "Cancel"};
  if (appkit::AlertPresenter::shared()->runModal(ask) != 0) {
    delegate->userDidCancelDownload(*this);
    return;
  }

  std::optional<std::string> file = best->fileURL ? localPath(*best->fileURL) : std::nullopt;
  std::error_code ec;
  if (!file || !std::filesystem::is_regular_file(*file, ec)) {
    delegate->updaterFailedToDownloadUpdate(
        *this, *best, *makeError(kUpdaterErrorDomain, kDownloadFailed, "The update could not be downloaded."));
    return;
  }
  delegate->updaterWillInstallUpdate(*this, *best);
  record("install.plist", {{"version", Value(best->versionString)},
                           {"displayVersion", Value(best->displayVersionString)},
                           {"file", Value(*file)}});
  if (delegate->updaterShouldRelaunchApplication(*this)) {
    delegate->updaterWillRelaunchApplication(*this);
    record("relaunch.plist", {{"version", Value(best->versionString)}});
  }
}

StandardUpdaterController::StandardUpdaterController(std::weak_ptr<UpdaterDelegate> updaterDelegate,
                                                     UserDriverDelegate*)
    : updater_(std::move(updaterDelegate)) {}

void StandardUpdaterController::checkForUpdates(appkit::Object*) { updater_.checkForUpdates(); }

}  // namespace platform::updater
