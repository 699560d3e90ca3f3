// The process-wide registry of configured backend apps. An app is a name, a locked copy of the options
// and a component container from which the service clients get their per-app instances.
//
// Every service library makes one DAVApp::registerInternalLibrary call before the program calls
// DAVApp::configure(); containers read the registered libraries when an app is configured.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Value.h"
#include "sdk-core/DAVAnalyticsConfiguration.h"
#include "sdk-core/DAVAppAssociationRegistration.h"
#include "sdk-core/DAVComponent.h"
#include "sdk-core/DAVComponentContainer.h"
#include "sdk-core/DAVComponentLifecycleMaintainer.h"
#include "sdk-core/DAVConfiguration.h"
#include "sdk-core/DAVLibrary.h"
#include "sdk-core/DAVLogger.h"
#include "sdk-core/DAVOptions.h"

inline constexpr const char kDAVDefaultAppName[] = "__DAVAPP_DEFAULT";
// Error domain, and the name of the exceptions that configuration, lookups and locked options raise.
inline constexpr const char kDAVAppErrorDomain[] = "dav.uzazazov.core";

inline constexpr const char kDAVAppReadyToConfigureSDKNotification[] = "DAVAppReadyToConfigureSDKNotification";
inline constexpr const char kDAVAppDeleteNotification[] = "DAVAppDeleteNotification";
inline constexpr const char kDAVAppDiagnosticsNotification[] = "DAVAppDiagnosticsNotification";
inline constexpr const char kDAVAppNameKey[] = "DAVAppNameKey";
inline constexpr const char kDAVAppIsDefaultAppKey[] = "DAVAppIsDefaultAppKey";
inline constexpr const char kDAVVariruAppIDKey[] = "DAVVariruAppIDKey";
inline constexpr const char kDAVAppDiagnosticsConfigurationTypeKey[] = "ConfigType";
inline constexpr const char kDAVAppDiagnosticsErrorKey[] = "Error";
inline constexpr const char kDAVAppDiagnosticsDAVAppKey[] = "DAVApp";
inline constexpr const char kDAVAppDiagnosticsSDKNameKey[] = "SDKName";
inline constexpr const char kDAVAppDiagnosticsSDKVersionKey[] = "SDKVersion";
inline constexpr int64_t kDAVConfigTypeCore = 1;
inline constexpr int64_t kDAVConfigTypeSDK = 2;

// Per-app data-collection user default, formatted with the app name.
inline constexpr const char kDAVGlobalAppDataCollectionEnabledDefaultsKeyFormat[] =
    "/variru/davedove/global_data_collection_enabled:%@";
inline constexpr const char kDAVGlobalAppDataCollectionEnabledPlistKey[] = "DavedoveDataCollectionDefaultEnabled";

inline constexpr int64_t kDAVAppErrorCodeMissingOptions = -100;
inline constexpr int64_t kDAVAppErrorCodeInvalidAppID = -101;
// The recovery-suggestion entry of error user information.
inline constexpr const char kDAVLocalizedRecoverySuggestionKey[] = "NSLocalizedRecoverySuggestion";

// Addresses quoted in messages.
inline constexpr const char kDAVConsoleAddress[] = "https://console.davedove.dev/";
inline constexpr const char kDAVConfigureDocumentationAddress[] = "https://davedove.dev/docs/configure";
inline constexpr const char kDAVCommunitySupportReadMeAddress[] =
    "https://davedove.dev/docs/sdk/desktop-community-support/README.md";

class DAVApp : public platform::Object, public std::enable_shared_from_this<DAVApp> {
 public:
  // Configures the default app from the default options; raises when there are none.
  static void configure();
  static void configureWithOptions(const std::shared_ptr<DAVOptions>& options);
  static void configureWithName(const std::string& name, const std::shared_ptr<DAVOptions>& options);

  static std::shared_ptr<DAVApp> defaultApp();  // none, with a log, when not configured
  static bool isDefaultAppConfigured();
  static std::shared_ptr<DAVApp> appNamed(const std::string& name);
  // A copy of the name-to-app dictionary; none before the first configuration and after resetApps.
  static std::optional<std::map<std::string, std::shared_ptr<DAVApp>>> allApps();
  // Forgets every app, the default app and every library version.
  static void resetApps();

  static void registerLibrary(const std::string& name, const std::string& version);
  static void registerInternalLibrary(const DAVLibraryPtr& library, const std::string& name,
                                      const std::string& version);
  static std::string davedoveUserAgent();

  static platform::ErrorPtr errorForMissingOptions();
  static platform::ErrorPtr errorForInvalidAppID();
  static platform::ErrorPtr errorForSubspecConfigurationFailureWithDomain(const std::string& domain, int64_t code,
                                                                          const std::string& service,
                                                                          const std::string& reason);

  // The sender of the registry's notifications (the class itself).
  static const void* classObject();

  // Calls the completion with true when the app was registered and is now gone.
  void deleteApp(const std::function<void(bool success)>& completion);

  std::shared_ptr<DAVOptions> options() const;  // a locked copy on every call
  const std::string& name() const { return name_; }
  bool isDefaultApp() const { return isDefaultApp_; }
  std::shared_ptr<DAVComponentContainer> container() const;
  void setContainer(std::shared_ptr<DAVComponentContainer> container);

  bool isDataCollectionDefaultEnabled() const;
  void setDataCollectionDefaultEnabled(bool dataCollectionDefaultEnabled);
  void sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                               const platform::ErrorPtr& error);

  std::string description() const override;

  // Steps of configuration, exposed for the registry's own tests.
  static std::shared_ptr<DAVApp> initInstanceWithName(const std::string& name,
                                                      const std::shared_ptr<DAVOptions>& options);
  bool configureCore();
  void checkExpectedBundleID() const;
  bool isAppIDValid() const;
  std::optional<std::string> expectedBundleID() const;
  static bool validateAppID(const std::optional<std::string>& appID);
  static bool validateAppIDFormat(const std::string& appID, const std::string& version);
  static bool validateAppIDFingerprint(const std::string& appID, const std::string& version);
  static std::string actualBundleID();
  static std::optional<bool> readDataCollectionSwitchFromPlist();
  static std::optional<bool> readDataCollectionSwitchFromUserDefaultsForApp(const DAVApp& app);

 private:
  struct ConstructionKey {};

 public:
  DAVApp(ConstructionKey, std::string name, std::shared_ptr<DAVOptions> options);

 private:
  static void addAppToAppDictionary(const std::shared_ptr<DAVApp>& app);
  static void sendNotificationsToSDKs(const std::shared_ptr<DAVApp>& app);
  void clearDataCollectionSwitchFromUserDefaults() const;
  std::string dataCollectionDefaultsKey() const;

  const bool isDefaultApp_;
  const std::shared_ptr<const DAVOptions> options_;
  const std::string name_;
  std::shared_ptr<DAVComponentContainer> container_;
};
