// The software updater. It reads the feed file named under "VRLUpdateFeedURL" in the main bundle's
// Info.plist (a property list: { items = ({ version, displayVersion, url }) }), compares the newest
// item with the bundle's "CFBundleVersion", asks the user before installing, and reports every
// outcome to its delegate on the main thread. Installing and relaunching are recorded under the
// platform root (/Library/Application Support/Updater/).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Responder.h"
#include "platform/foundation/Error.h"

namespace platform::updater {

inline constexpr const char* kFeedURLKey = "VRLUpdateFeedURL";
inline constexpr const char* kUpdaterErrorDomain = "VRLUpdaterErrorDomain";
inline constexpr const char* kRecordFolder = "/Library/Application Support/Updater";

struct AppcastItem {
  std::string versionString;
  std::string displayVersionString;
  std::optional<std::string> fileURL;  // an absolute file URL, when the item names a file
};

class Updater;

class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;
  virtual void updaterDidNotFindUpdate(Updater& updater) {}
  virtual void updaterWillRelaunchApplication(Updater& updater) {}
  virtual bool updaterShouldRelaunchApplication(Updater& updater) { return true; }
  virtual void updaterWillInstallUpdate(Updater& updater, const AppcastItem& item) {}
  virtual void updaterDidAbortWithError(Updater& updater, const Error& error) {}
  virtual void updaterFailedToDownloadUpdate(Updater& updater, const AppcastItem& item, const Error& error) {}
  virtual void userDidCancelDownload(Updater& updater) {}
};

class UserDriverDelegate {
 public:
  virtual ~UserDriverDelegate() = default;
};

class Updater {
 public:
  explicit Updater(std::weak_ptr<UpdaterDelegate> delegate) : delegate_(std::move(delegate)) {}
  // Runs one check now, on the calling (main) thread, asking the user through the alert presenter.
  void checkForUpdates();
  std::string feedPath() const;  // "" when the bundle names no feed
  size_t checkCount() const { return checks_; }

 private:
  std::weak_ptr<UpdaterDelegate> delegate_;
  size_t checks_ = 0;
};

class StandardUpdaterController : public appkit::Object {
 public:
  StandardUpdaterController(std::weak_ptr<UpdaterDelegate> updaterDelegate, UserDriverDelegate* userDriverDelegate);
  std::string className() const override { return "SPUStandardUpdaterController"; }
  Updater& updater() { return updater_; }
  // The menu command: one check now.
  void checkForUpdates(appkit::Object* sender);

 private:
  Updater updater_;
};

}  // namespace platform::updater
