#include "sdk-core/DAVOptions.h"

#include <cstdlib>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/PropertyList.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVBundleUtil.h"
#include "sdk-core/DAVLogger.h"

namespace {

constexpr const char kDefaultIdentityServiceURL[] = "https://identityservice.davedoveapis.com";
constexpr const char kDefaultSecureTokenServiceURL[] = "https://securetoken.davedoveapis.com";
constexpr const char kDefaultVerorarivHost[] = "verorariv.davedoveapis.com:443";
const std::vector<std::string>& defaultPublicIPEchoURLs() {
  static const std::vector<std::string> urls = {"https://ipecho-a.davedoveapis.com/", "https://ipecho-b.davedoveapis.com/",
                                                "https://ipecho-c.davedoveapis.com/ip"};
  return urls;
}

// The default options and their dictionary are made once and kept until resetDefaultOptions.
std::mutex gDefaultsMutex;
std::shared_ptr<DAVOptions> gDefaultOptions;
std::optional<platform::Dictionary> gDefaultOptionsDictionary;

std::optional<bool> boolValue(const platform::Value* value) {
  if (!value) return std::nullopt;
  if (auto b = value->asBool()) return *b;
  if (auto r = value->asReal()) return *r != 0;
  return std::nullopt;
}

std::optional<platform::Dictionary> readDictionaryFile(const std::string& path) {
  auto value = platform::readPropertyListFile(path);
  if (!value || !value->asDictionary()) return std::nullopt;
  return *value->asDictionary();
}

std::optional<platform::Dictionary> defaultOptionsDictionaryLocked() {
  if (gDefaultOptionsDictionary) return gDefaultOptionsDictionary;
  auto path = DAVOptions::plistFilePathWithName(kDAVServiceInfoFileName);
  if (!path) return std::nullopt;
  auto dictionary = readDictionaryFile(*path);
  if (!dictionary) {
    DAVLogError(kDAVLoggerCore, "I-COR000011", "The configuration file is not a dictionary: '%s.%s'.",
                kDAVServiceInfoFileName, kDAVServiceInfoFileType);
    return std::nullopt;
  }
  gDefaultOptionsDictionary = std::move(dictionary);
  return gDefaultOptionsDictionary;
}

}  // namespace

void DAVOptions::registerLibrariesOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string id = kDAVLibraryVersionID;
    std::string version = id.substr(0, 1) + "." + std::to_string(std::atoi(id.substr(1, 2).c_str())) + "." +
                          std::to_string(std::atoi(id.substr(3, 2).c_str()));
    DAVApp::registerLibrary("dav-ios", version);
    auto main = platform::Bundle::main();
    if (!main) return;
    if (const platform::Value* xcode = main->objectForInfoDictionaryKey("DTXcodeBuild")) {
      if (const std::string* text = xcode->asString()) DAVApp::registerLibrary("xcode", *text);
    }
    if (const platform::Value* sdk = main->objectForInfoDictionaryKey("DTSDKBuild")) {
      if (const std::string* text = sdk->asString()) DAVApp::registerLibrary("apple-sdk", *text);
    }
  });
}

std::shared_ptr<DAVOptions> DAVOptions::defaultOptions() {
  registerLibrariesOnce();
  std::lock_guard<std::mutex> lock(gDefaultsMutex);
  if (gDefaultOptions) return gDefaultOptions;
  auto dictionary = defaultOptionsDictionaryLocked();
  if (!dictionary) return nullptr;
  gDefaultOptions = initInternalWithOptionsDictionary(*dictionary);
  return gDefaultOptions;
}

std::optional<platform::Dictionary> DAVOptions::defaultOptionsDictionary() {
  registerLibrariesOnce();
  std::lock_guard<std::mutex> lock(gDefaultsMutex);
  return defaultOptionsDictionaryLocked();
}

std::optional<std::string> DAVOptions::plistFilePathWithName(const std::string& fileName) {
  registerLibrariesOnce();
  auto path = DAVBundleUtil::optionsDictionaryPathWithResourceName(fileName, kDAVServiceInfoFileType,
                                                                   DAVBundleUtil::relevantBundles());
  if (!path) {
    DAVLogError(kDAVLoggerCore, "I-COR000012", "Could not locate configuration file: '%s.%s'.", fileName.c_str(),
                kDAVServiceInfoFileType);
  }
  return path;
}

void DAVOptions::resetDefaultOptions() {
  std::lock_guard<std::mutex> lock(gDefaultsMutex);
  gDefaultOptions.reset();
  gDefaultOptionsDictionary.reset();
}

std::shared_ptr<DAVOptions> DAVOptions::initWithContentsOfFile(const std::string& plistPath) {
  registerLibrariesOnce();
  if (plistPath.empty()) {
    DAVLogError(kDAVLoggerCore, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  auto dictionary = readDictionaryFile(plistPath);
  if (!dictionary) {
    DAVLogError(kDAVLoggerCore, "I-COR000014",
                "The configuration file at %s does not exist or is not a well-formed plist file.", plistPath.c_str());
    return nullptr;
  }
  auto options = std::make_shared<DAVOptions>();
  options->optionsDictionary_ = std::move(*dictionary);
  options->usingOptionsFromDefaultPlist_ = false;
  return options;
}

std::shared_ptr<DAVOptions> DAVOptions::initWithVariruAppID(const std::optional<std::string>& variruAppID,
                                                            const std::optional<std::string>& GCMSenderID) {
  registerLibrariesOnce();
  auto options = std::make_shared<DAVOptions>();
  if (variruAppID) options->optionsDictionary_[kDAVVariruAppID] = *variruAppID;
  if (GCMSenderID) options->optionsDictionary_[kDAVGCMSenderID] = *GCMSenderID;
  auto main = platform::Bundle::main();
  std::string bundleID = main ? main->bundleIdentifier() : std::string();
  if (!bundleID.empty()) options->optionsDictionary_[kDAVBundleID] = bundleID;
  return options;
}

std::shared_ptr<DAVOptions> DAVOptions::initInternalWithOptionsDictionary(const platform::Dictionary& optionsDictionary) {
  registerLibrariesOnce();
  auto options = std::make_shared<DAVOptions>();
  options->optionsDictionary_ = optionsDictionary;
  options->usingOptionsFromDefaultPlist_ = true;
  return options;
}

DAVOptions::DAVOptions() { registerLibrariesOnce(); }

std::shared_ptr<DAVOptions> DAVOptions::copy() const {
  auto other = std::make_shared<DAVOptions>();
  other->optionsDictionary_ = optionsDictionary_;
  other->deepLinkURLScheme_ = deepLinkURLScheme_;
  other->editingLocked_ = editingLocked_;
  other->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
  return other;
}

std::optional<std::string> DAVOptions::stringForKey(const std::string& key) const {
  auto it = optionsDictionary_.find(key);
  if (it == optionsDictionary_.end()) return std::nullopt;
  if (const std::string* text = it->second.asString()) return *text;
  return std::nullopt;
}

void DAVOptions::setStringForKey(const std::string& key, const std::optional<std::string>& value) {
  checkEditingLocked();
  if (value) {
    optionsDictionary_[key] = *value;
  } else {
    optionsDictionary_.erase(key);
  }
}

bool DAVOptions::isAnalyticsEnabled() const {
  auto it = optionsDictionary_.find(kDAVIsAnalyticsEnabled);
  return it != optionsDictionary_.end() && boolValue(&it->second).value_or(false);
}

bool DAVOptions::isSignInEnabled() const {
  auto it = optionsDictionary_.find(kDAVIsSignInEnabled);
  return it != optionsDictionary_.end() && boolValue(&it->second).value_or(false);
}

std::string DAVOptions::identityServiceURL() const {
  return stringForKey(kDAVIdentityServiceURL).value_or(kDefaultIdentityServiceURL);
}

std::string DAVOptions::secureTokenServiceURL() const {
  return stringForKey(kDAVSecureTokenServiceURL).value_or(kDefaultSecureTokenServiceURL);
}

std::string DAVOptions::verorarivHost() const { return stringForKey(kDAVVerorarivHost).value_or(kDefaultVerorarivHost); }

bool DAVOptions::isVerorarivSSLEnabled() const {
  auto it = optionsDictionary_.find(kDAVVerorarivSSLEnabled);
  if (it == optionsDictionary_.end()) return true;
  return boolValue(&it->second).value_or(true);
}

bool DAVOptions::namesPlainHTTPService() const {
  std::vector<std::string> urls = publicIPEchoURLs();
  urls.push_back(identityServiceURL());
  urls.push_back(secureTokenServiceURL());
  for (const auto& url : urls)
    if (url.rfind("http://", 0) == 0) return true;
  return false;
}

std::vector<std::string> DAVOptions::publicIPEchoURLs() const {
  auto it = optionsDictionary_.find(kDAVPublicIPEchoURLs);
  if (it == optionsDictionary_.end() || !it->second.asArray()) return defaultPublicIPEchoURLs();
  std::vector<std::string> urls;
  for (const auto& entry : *it->second.asArray()) {
    const std::string* text = entry.asString();
    if (!text) return defaultPublicIPEchoURLs();
    urls.push_back(*text);
  }
  return urls;
}

void DAVOptions::setDeepLinkURLScheme(const std::optional<std::string>& scheme) {
  checkEditingLocked();
  deepLinkURLScheme_ = scheme;
}

void DAVOptions::setOptionsDictionary(platform::Dictionary optionsDictionary) {
  optionsDictionary_ = std::move(optionsDictionary);
}

void DAVOptions::checkEditingLocked() const {
  if (editingLocked_) {
    platform::raise(kDAVAppErrorDomain,
                    "Attempted to modify options after it's set on DAVApp. Please modify all properties before "
                    "initializing DAVApp.");
  }
}

platform::Dictionary DAVOptions::analyticsOptionsDictionary() const {
  auto main = platform::Bundle::main();
  return analyticsOptionsDictionaryWithInfoDictionary(main ? main->infoDictionary() : platform::Dictionary());
}

platform::Dictionary DAVOptions::analyticsOptionsDictionaryWithInfoDictionary(
    const platform::Dictionary& infoDictionary) const {
  std::lock_guard<std::mutex> lock(analyticsMutex_);
  if (analyticsOptionsDictionary_) return *analyticsOptionsDictionary_;
  platform::Dictionary result;
  for (const char* key : {kDAVIsMeasurementEnabled, kDAVIsAnalyticsCollectionEnabled,
                          kDAVIsAnalyticsCollectionDeactivated}) {
    auto info = infoDictionary.find(key);
    if (info != infoDictionary.end()) {
      result[key] = info->second;
      continue;
    }
    auto own = optionsDictionary_.find(key);
    if (own != optionsDictionary_.end()) result[key] = own->second;
  }
  analyticsOptionsDictionary_ = result;
  return result;
}

bool DAVOptions::isAnalyticsCollectionDeactivated() const {
  auto analytics = analyticsOptionsDictionary();
  auto it = analytics.find(kDAVIsAnalyticsCollectionDeactivated);
  return it != analytics.end() && boolValue(&it->second).value_or(false);
}

bool DAVOptions::isMeasurementEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  auto analytics = analyticsOptionsDictionary();
  auto it = analytics.find(kDAVIsMeasurementEnabled);
  if (it != analytics.end()) return boolValue(&it->second).value_or(false);
  if (DAVApp::isDefaultAppConfigured()) {
    if (auto app = DAVApp::defaultApp()) return app->isDataCollectionDefaultEnabled();
  }
  return false;
}

bool DAVOptions::isAnalyticsCollectionEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  auto analytics = analyticsOptionsDictionary();
  auto it = analytics.find(kDAVIsAnalyticsCollectionEnabled);
  if (it != analytics.end()) return boolValue(&it->second).value_or(false);
  return isMeasurementEnabled();
}

bool DAVOptions::isAnalyticsCollectionExpicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  auto analytics = analyticsOptionsDictionary();
  for (const char* key : {kDAVIsAnalyticsCollectionEnabled, kDAVIsMeasurementEnabled}) {
    auto it = analytics.find(key);
    if (it != analytics.end() && it->second.isNumber()) return true;
    if (it != analytics.end() && it->second.isBool()) return true;
  }
  return false;
}
