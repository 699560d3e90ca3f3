#include "sdk-core/DAVApp.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/NotificationCenter.h"
#include "sdk-core/DAVAppInternal.h"
#include "sdk-core/DAVBundleUtil.h"
#include "sdk-core/DAVUserDefaults.h"

namespace {

struct Registry {
  // The class lock: recursive, because notifications and library hooks run under it and may call back.
  std::recursive_mutex mutex;
  std::shared_ptr<DAVApp> defaultApp;  // read and written with the atomic shared_ptr functions
  std::optional<std::map<std::string, std::shared_ptr<DAVApp>>> allApps;
  std::optional<std::map<std::string, std::string>> libraries;
  std::vector<DAVLibraryPtr> configurableLibraries;
};

Registry& registry() {
  static auto* r = new Registry();
  return *r;
}

std::mutex gPlistSwitchMutex;
bool gPlistSwitchRead = false;
std::optional<bool> gPlistSwitch;

std::optional<bool> numberAsBool(const platform::Value& value) {
  if (auto b = value.asBool()) return *b;
  if (auto r = value.asReal()) return *r != 0;
  return std::nullopt;
}

platform::Value objectValue(std::shared_ptr<const platform::Object> object) { return platform::Value(std::move(object)); }

platform::Value errorValue(const platform::ErrorPtr& error) {
  return objectValue(std::make_shared<platform::ErrorObject>(error));
}

bool isAllowedLibraryCharacter(unsigned char c) { return std::isalnum(c) || c == '-' || c == '_' || c == '.'; }

bool isAllowedAppNameCharacter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Where a character of a user-agent entry sorts under a localized, case-insensitive comparison:
// punctuation ("_" before "-" before "." before "/") ahead of digits, digits ahead of letters, and
// letters without regard to case. Plain byte order would put "_" after the digits.
int collationRank(unsigned char c) {
  switch (c) {
    case '_':
      return 1;
    case '-':
      return 2;
    case '.':
      return 3;
    case '/':
      return 4;
    default:
      break;
  }
  if (c >= '0' && c <= '9') return 100 + (c - '0');
  if (c >= 'a' && c <= 'z') return 200 + (c - 'a');
  if (c >= 'A' && c <= 'Z') return 200 + (c - 'A');
  return 300 + c;
}

bool localizedCaseInsensitiveLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return collationRank(static_cast<unsigned char>(x)) < collationRank(static_cast<unsigned char>(y));
  });
}

// A small scanner that skips nothing, for the app-ID checks.
class Scanner {
 public:
  explicit Scanner(const std::string& text) : text_(text) {}
  bool atEnd() const { return pos_ >= text_.size(); }
  bool scanString(const std::string& s) {
    if (s.empty() || text_.compare(pos_, s.size(), s) != 0) return false;
    pos_ += s.size();
    return true;
  }
  bool scanDecimalDigits(std::string* out) {
    size_t start = pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ == start) return false;
    if (out) *out = text_.substr(start, pos_ - start);
    return true;
  }
  bool scanInteger() {
    size_t start = pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (!scanDecimalDigits(nullptr)) {
      pos_ = start;
      return false;
    }
    return true;
  }
  bool scanUpTo(char stop, std::string* out) {
    size_t end = text_.find(stop, pos_);
    if (end == std::string::npos) end = text_.size();
    if (end == pos_) return false;
    *out = text_.substr(pos_, end - pos_);
    pos_ = end;
    return true;
  }
  bool scanHexNumber() {
    size_t start = pos_;
    if (text_.compare(pos_, 2, "0x") == 0 || text_.compare(pos_, 2, "0X") == 0) {
      if (pos_ + 2 < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_ + 2]))) pos_ += 2;
    }
    size_t digits = pos_;
    while (pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ == digits) {
      pos_ = start;
      return false;
    }
    return true;
  }

 private:
  const std::string& text_;
  size_t pos_ = 0;
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

void DAVAppResetDataCollectionPlistSwitchForTesting() {
  std::lock_guard<std::mutex> lock(gPlistSwitchMutex);
  gPlistSwitchRead = false;
  gPlistSwitch.reset();
}

const void* DAVApp::classObject() {
  static const char marker = 0;
  return &marker;
}

// MARK: - Configuration

void DAVApp::configure() {
  auto options = DAVOptions::defaultOptions();
  if (!options) {
    auto plistSwitch = readDataCollectionSwitchFromPlist();
    if (!(plistSwitch && !*plistSwitch)) {
      platform::NotificationCenter::defaultCenter().post(
          kDAVAppDiagnosticsNotification, nullptr,
          {{kDAVAppDiagnosticsConfigurationTypeKey, platform::Value(kDAVConfigTypeCore)},
           {kDAVAppDiagnosticsErrorKey, errorValue(errorForMissingOptions())}});
    }
    platform::raiseFormat(kDAVAppErrorDomain,
                          "`[DAVApp configure];` (`VavazuzeZud.configure()` in Swift) could not find a valid "
                          "VariruService-Info.plist in your project. Please download one from %@.",
                          {kDAVConsoleAddress});
  }
  configureWithOptions(options);
  DAVLogNotice(kDAVLoggerCore, "I-COR000028",
               "tvOS and macOS SDK support is not part of the official Davedove product. Instead they are community "
               "supported. Details at %s.",
               kDAVCommunitySupportReadMeAddress);
}

void DAVApp::configureWithOptions(const std::shared_ptr<DAVOptions>& options) {
  if (!options) platform::raise(kDAVAppErrorDomain, "Options is nil. Please pass a valid options.");
  configureWithName(kDAVDefaultAppName, options);
}

void DAVApp::configureWithName(const std::string& name, const std::shared_ptr<DAVOptions>& options) {
  if (!options) platform::raise(kDAVAppErrorDomain, "Neither name nor options can be nil.");
  if (name.empty()) platform::raise(kDAVAppErrorDomain, "Name cannot be empty.");

  auto& r = registry();
  if (name == kDAVDefaultAppName) {
    if (isDefaultAppConfigured()) platform::raise(kDAVAppErrorDomain, "Default app has already been configured.");
    DAVLogDebug(kDAVLoggerCore, "I-COR000001", "Configuring the default app.");
  } else {
    bool valid = std::all_of(name.begin(), name.end(),
                             [](char c) { return isAllowedAppNameCharacter(static_cast<unsigned char>(c)); });
    if (!valid) {
      platform::raise(kDAVAppErrorDomain,
                      "App name can only contain alphanumeric (A-Z,a-z,0-9), hyphen (-), and underscore (_) "
                      "characters");
    }
    {
      std::lock_guard<std::recursive_mutex> lock(r.mutex);
      if (r.allApps && r.allApps->count(name)) {
        platform::raiseFormat(kDAVAppErrorDomain, "App named %@ has already been configured.", {name});
      }
    }
    DAVLogDebug(kDAVLoggerCore, "I-COR000002", "Configuring app named %s", name.c_str());
  }

  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  // Checked again under the lock: another thread may have configured the same name meanwhile.
  if (name == kDAVDefaultAppName ? isDefaultAppConfigured() : (r.allApps && r.allApps->count(name) > 0)) {
    if (name == kDAVDefaultAppName) platform::raise(kDAVAppErrorDomain, "Default app has already been configured.");
    platform::raiseFormat(kDAVAppErrorDomain, "App named %@ has already been configured.", {name});
  }
  auto app = initInstanceWithName(name, options);
  addAppToAppDictionary(app);
  // Recorded only once validated: a failed configuration leaves no default app behind.
  if (app->isDefaultApp()) std::atomic_store(&r.defaultApp, app);
  sendNotificationsToSDKs(app);
}

std::shared_ptr<DAVApp> DAVApp::initInstanceWithName(const std::string& name,
                                                     const std::shared_ptr<DAVOptions>& options) {
  auto locked = options->copy();
  locked->setEditingLocked(true);
  auto app = std::make_shared<DAVApp>(ConstructionKey{}, name, locked);
  // The container needs the app's shared owner; eager components are made here.
  app->setContainer(std::make_shared<DAVComponentContainer>(app));
  return app;
}

DAVApp::DAVApp(ConstructionKey, std::string name, std::shared_ptr<DAVOptions> options)
    : isDefaultApp_(name == kDAVDefaultAppName), options_(std::move(options)), name_(std::move(name)) {}

void DAVApp::addAppToAppDictionary(const std::shared_ptr<DAVApp>& app) {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  if (!r.allApps) r.allApps.emplace();
  if (!app->configureCore()) {
    platform::raise(kDAVAppErrorDomain,
                    "Configuration fails. It may be caused by an invalid VARIRU_APP_ID in VariruService-Info.plist or "
                    "set in the customized options.");
  }
  (*r.allApps)[app->name()] = app;
}

bool DAVApp::configureCore() {
  checkExpectedBundleID();
  if (!isAppIDValid()) {
    if (options_->usingOptionsFromDefaultPlist() && isDataCollectionDefaultEnabled()) {
      platform::NotificationCenter::defaultCenter().post(
          kDAVAppDiagnosticsNotification, nullptr,
          {{kDAVAppDiagnosticsConfigurationTypeKey, platform::Value(kDAVConfigTypeCore)},
           {kDAVAppDiagnosticsErrorKey, errorValue(errorForInvalidAppID())}});
    }
    return false;
  }
  if (isDataCollectionDefaultEnabled()) {
    platform::NotificationCenter::defaultCenter().post(
        kDAVAppDiagnosticsNotification, nullptr,
        {{kDAVAppDiagnosticsConfigurationTypeKey, platform::Value(kDAVConfigTypeCore)},
         {kDAVAppDiagnosticsDAVAppKey, objectValue(shared_from_this())}});
  }
  return true;
}

std::optional<std::string> DAVApp::expectedBundleID() const { return options_->bundleID(); }

std::string DAVApp::actualBundleID() {
  auto main = platform::Bundle::main();
  return main ? main->bundleIdentifier() : std::string();
}

void DAVApp::checkExpectedBundleID() const {
  auto expected = expectedBundleID();
  if (expected && !DAVBundleUtil::hasBundleIdentifierPrefix(*expected, DAVBundleUtil::relevantBundles())) {
    DAVLogError(kDAVLoggerCore, "I-COR000008",
                "The project's Bundle ID is inconsistent with either the Bundle ID in '%s.%s', or the Bundle ID in "
                "the options if you are using a customized options. To ensure that everything can be configured "
                "correctly, you may need to make the Bundle IDs consistent. To continue with this plist file, you "
                "may change your app's bundle identifier to '%s'. Or you can download a new configuration file that "
                "matches your bundle identifier from %s and replace the current one.",
                kDAVServiceInfoFileName, kDAVServiceInfoFileType, expected->c_str(), kDAVConsoleAddress);
  }
}

bool DAVApp::isAppIDValid() const {
  if (validateAppID(options_->variruAppID())) return true;
  DAVLogError(kDAVLoggerCore, "I-COR000009",
              "The VARIRU_APP_ID either in the plist file '%s.%s' or the one set in the customized options is "
              "invalid. If you are using the plist file, use the iOS version of bundle identifier to download the "
              "file, and do not manually edit the VARIRU_APP_ID. You may change your app's bundle identifier to "
              "'%s'. Or you can download a new configuration file that matches your bundle identifier from %s and "
              "replace the current one.",
              kDAVServiceInfoFileName, kDAVServiceInfoFileType, expectedBundleID().value_or("").c_str(),
              kDAVConsoleAddress);
  return false;
}

bool DAVApp::validateAppID(const std::optional<std::string>& appID) {
  if (!appID || appID->empty()) return false;
  Scanner scanner(*appID);
  std::string version;
  if (!scanner.scanDecimalDigits(&version) || !scanner.scanString(":")) return false;
  if (version != "1") {
    DAVLogInfo(kDAVLoggerCore, "I-COR000010", "Unknown VARIRU_APP_ID version: %s", version.c_str());
    return true;
  }
  return validateAppIDFormat(*appID, version) && validateAppIDFingerprint(*appID, version);
}

bool DAVApp::validateAppIDFormat(const std::string& appID, const std::string& version) {
  if (appID.empty() || version.empty()) return false;
  Scanner scanner(appID);
  std::string platformName;
  return scanner.scanString(version) && scanner.scanString(":") && scanner.scanInteger() &&
         scanner.scanString(":") && scanner.scanUpTo(':', &platformName) && platformName == "ios" &&
         scanner.scanString(":") && scanner.scanHexNumber() && scanner.atEnd();
}

bool DAVApp::validateAppIDFingerprint(const std::string& appID, const std::string& version) {
  auto parts = split(appID, ':');
  if (parts.size() != 4) return false;
  const std::string& fingerprint = parts[3];
  if (fingerprint.empty()) return false;
  Scanner scanner(fingerprint);
  if (!scanner.scanHexNumber()) return false;
  return version == "1";
}

void DAVApp::sendNotificationsToSDKs(const std::shared_ptr<DAVApp>& app) {
  platform::Dictionary userInfo{{kDAVAppNameKey, platform::Value(app->name())},
                                {kDAVAppIsDefaultAppKey, platform::Value(app->isDefaultApp())}};
  if (auto appID = app->options_->variruAppID()) userInfo[kDAVVariruAppIDKey] = platform::Value(*appID);
  platform::NotificationCenter::defaultCenter().post(kDAVAppReadyToConfigureSDKNotification, classObject(),
                                                     std::move(userInfo));
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  auto libraries = r.configurableLibraries;  // a hook may register further libraries
  for (const auto& library : libraries) library->configureWithApp(app);
}

// MARK: - Lookups

std::shared_ptr<DAVApp> DAVApp::defaultApp() {
  auto app = std::atomic_load(&registry().defaultApp);
  if (!app) {
    DAVLogError(kDAVLoggerCore, "I-COR000003",
                "The default Davedove app has not yet been configured. Add `[DAVApp configure];` "
                "(`VavazuzeZud.configure()` in Swift) to your application initialization. Read more: %s.",
                kDAVConfigureDocumentationAddress);
  }
  return app;
}

bool DAVApp::isDefaultAppConfigured() { return std::atomic_load(&registry().defaultApp) != nullptr; }

std::shared_ptr<DAVApp> DAVApp::appNamed(const std::string& name) {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  if (r.allApps) {
    auto it = r.allApps->find(name);
    if (it != r.allApps->end()) return it->second;
  }
  DAVLogError(kDAVLoggerCore, "I-COR000004", "App with name %s does not exist.", name.c_str());
  return nullptr;
}

std::optional<std::map<std::string, std::shared_ptr<DAVApp>>> DAVApp::allApps() {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  if (!r.allApps) DAVLogError(kDAVLoggerCore, "I-COR000005", "No app has been configured yet.");
  return r.allApps;
}

void DAVApp::resetApps() {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  std::atomic_store(&r.defaultApp, std::shared_ptr<DAVApp>());
  r.allApps.reset();
  r.libraries.reset();
}

void DAVApp::deleteApp(const std::function<void(bool success)>& completion) {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  auto self = shared_from_this();
  // Only this very app: a stale app must not delete a newer app configured under the same name.
  bool registered = r.allApps && r.allApps->count(name_) && (*r.allApps)[name_] == self;
  if (!registered) {
    DAVLogError(kDAVLoggerCore, "I-COR000007", "App does not exist.");
    if (completion) completion(false);
    return;
  }
  DAVLogDebug(kDAVLoggerCore, "I-COR000006", "Deleting app named %s", name_.c_str());
  if (auto c = container()) c->removeAllCachedInstances();
  r.allApps->erase(name_);
  clearDataCollectionSwitchFromUserDefaults();
  if (isDefaultApp_ && std::atomic_load(&r.defaultApp) == self) {
    std::atomic_store(&r.defaultApp, std::shared_ptr<DAVApp>());
  }
  platform::NotificationCenter::defaultCenter().post(kDAVAppDeleteNotification, classObject(),
                                                     {{kDAVAppNameKey, platform::Value(name_)}});
  if (completion) completion(true);
}

// MARK: - Libraries and user agent

void DAVApp::registerLibrary(const std::string& name, const std::string& version) {
  auto allowed = [](const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return isAllowedLibraryCharacter(static_cast<unsigned char>(c)); });
  };
  if (!allowed(name) || !allowed(version)) {
    DAVLogError(kDAVLoggerCore, "I-COR000027",
                "The library name (%s) or version number (%s) contain invalid characters. Only alphanumeric, dash, "
                "underscore and period characters are allowed.",
                name.c_str(), version.c_str());
    return;
  }
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  if (!r.libraries) r.libraries.emplace();
  (*r.libraries)[name] = version;
}

void DAVApp::registerInternalLibrary(const DAVLibraryPtr& library, const std::string& name,
                                     const std::string& version) {
  if (!library || !library->componentsToRegister) {
    platform::raiseFormat(platform::kInvalidArgumentException,
                          "Class %@ attempted to register components, but it does not conform to `DAVLibrary or "
                          "provide a `componentsToRegister:` method.",
                          {library ? library->className : std::string("(null)")});
  }
  DAVComponentContainer::registerAsComponentRegistrant(library);
  if (library->configureWithApp) {
    auto& r = registry();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    bool known = std::any_of(r.configurableLibraries.begin(), r.configurableLibraries.end(),
                             [&](const DAVLibraryPtr& l) { return l->className == library->className; });
    if (!known) r.configurableLibraries.push_back(library);
  }
  registerLibrary(name, version);
}

std::string DAVApp::davedoveUserAgent() {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  std::vector<std::string> entries;
  if (r.libraries) {
    for (const auto& entry : *r.libraries) entries.push_back(entry.first + "/" + entry.second);
  }
  std::stable_sort(entries.begin(), entries.end(), localizedCaseInsensitiveLess);
  std::string agent;
  for (const auto& entry : entries) {
    if (!agent.empty()) agent += " ";
    agent += entry;
  }
  return agent;
}

// MARK: - Errors

platform::ErrorPtr DAVApp::errorForMissingOptions() {
  return std::make_shared<platform::Error>(
      kDAVAppErrorDomain, kDAVAppErrorCodeMissingOptions,
      platform::Dictionary{
          {platform::kLocalizedDescriptionKey,
           platform::Value("Unable to parse VariruService-Info.plist in order to configure services.")},
          {kDAVLocalizedRecoverySuggestionKey,
           platform::Value("Check formatting and location of VariruService-Info.plist.")}});
}

platform::ErrorPtr DAVApp::errorForInvalidAppID() {
  return std::make_shared<platform::Error>(
      kDAVAppErrorDomain, kDAVAppErrorCodeInvalidAppID,
      platform::Dictionary{{platform::kLocalizedDescriptionKey, platform::Value("Unable to validate Variru App ID")},
                           {kDAVLocalizedRecoverySuggestionKey,
                            platform::Value("Check formatting and location of VariruService-Info.plist or "
                                            "VariruAppID set in the customized options.")}});
}

platform::ErrorPtr DAVApp::errorForSubspecConfigurationFailureWithDomain(const std::string& domain, int64_t code,
                                                                         const std::string& service,
                                                                         const std::string& reason) {
  return std::make_shared<platform::Error>(
      domain, code,
      platform::Dictionary{
          {platform::kLocalizedDescriptionKey,
           platform::Value(platform::formatObjC("Configuration failed for service %@.", {service}))},
          {platform::kLocalizedFailureReasonKey, platform::Value(reason)}});
}

// MARK: - Instance accessors

std::shared_ptr<DAVOptions> DAVApp::options() const { return options_->copy(); }

std::shared_ptr<DAVComponentContainer> DAVApp::container() const { return std::atomic_load(&container_); }

void DAVApp::setContainer(std::shared_ptr<DAVComponentContainer> container) {
  std::atomic_store(&container_, std::move(container));
}

std::string DAVApp::description() const { return "<DAVApp " + name_ + ">"; }

// MARK: - Data collection

std::string DAVApp::dataCollectionDefaultsKey() const {
  return platform::formatObjC(kDAVGlobalAppDataCollectionEnabledDefaultsKeyFormat, {name_});
}

std::optional<bool> DAVApp::readDataCollectionSwitchFromUserDefaultsForApp(const DAVApp& app) {
  auto value = DAVUserDefaults::standardUserDefaults()->objectForKey(app.dataCollectionDefaultsKey());
  if (!value) return std::nullopt;
  return numberAsBool(*value);
}

std::optional<bool> DAVApp::readDataCollectionSwitchFromPlist() {
  std::lock_guard<std::mutex> lock(gPlistSwitchMutex);
  if (!gPlistSwitchRead) {
    gPlistSwitchRead = true;
    auto main = platform::Bundle::main();
    const platform::Value* value =
        main ? main->objectForInfoDictionaryKey(kDAVGlobalAppDataCollectionEnabledPlistKey) : nullptr;
    gPlistSwitch = value ? numberAsBool(*value) : std::nullopt;
  }
  return gPlistSwitch;
}

bool DAVApp::isDataCollectionDefaultEnabled() const {
  if (auto perApp = readDataCollectionSwitchFromUserDefaultsForApp(*this)) return *perApp;
  if (auto plist = readDataCollectionSwitchFromPlist()) return *plist;
  return true;
}

void DAVApp::setDataCollectionDefaultEnabled(bool dataCollectionDefaultEnabled) {
  DAVUserDefaults::standardUserDefaults()->set(dataCollectionDefaultsKey(),
                                                     platform::Value(dataCollectionDefaultEnabled));
  if (!isDefaultApp_ || options_->isAnalyticsCollectionExpicitlySet()) return;
  DAVAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(dataCollectionDefaultEnabled, false);
}

void DAVApp::clearDataCollectionSwitchFromUserDefaults() const {
  DAVUserDefaults::standardUserDefaults()->removeObject(dataCollectionDefaultsKey());
}

void DAVApp::sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                                     const platform::ErrorPtr& error) {
  if (!isDataCollectionDefaultEnabled()) return;
  platform::Dictionary userInfo{{kDAVAppDiagnosticsConfigurationTypeKey, platform::Value(kDAVConfigTypeSDK)},
                                {kDAVAppDiagnosticsSDKNameKey, platform::Value(serviceName)},
                                {kDAVAppDiagnosticsSDKVersionKey, platform::Value(version)},
                                {kDAVAppDiagnosticsDAVAppKey, objectValue(shared_from_this())}};
  if (error) userInfo[kDAVAppDiagnosticsErrorKey] = errorValue(error);
  platform::NotificationCenter::defaultCenter().post(kDAVAppDiagnosticsNotification, nullptr, std::move(userInfo));
}
