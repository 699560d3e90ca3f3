#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/foundation/NotificationCenter.h"
#include "sdk-core/tests/SdkCoreTestSupport.h"

using sdkcoretest::kValidAppID;
using sdkcoretest::SdkCoreTest;

namespace {

// Records every notification of one name while alive.
class NotificationRecorder {
 public:
  explicit NotificationRecorder(const std::string& name) {
    token_ = platform::NotificationCenter::defaultCenter().addObserver(
        name, nullptr, [this](const platform::Notification& n) { notifications.push_back(n); });
  }
  ~NotificationRecorder() { platform::NotificationCenter::defaultCenter().removeObserver(token_); }
  std::vector<platform::Notification> notifications;

 private:
  platform::ObserverToken token_;
};

using DAVAppConfigureTest = SdkCoreTest;

TEST_F(DAVAppConfigureTest, ConfiguresTheDefaultAppFromTheBundlesPropertyList) {
  writeServiceInfo(validServiceInfo());
  NotificationRecorder ready(kDAVAppReadyToConfigureSDKNotification);

  DAVApp::configure();

  ASSERT_TRUE(DAVApp::isDefaultAppConfigured());
  auto app = DAVApp::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(app->name(), "__DAVAPP_DEFAULT");
  auto options = app->options();
  EXPECT_EQ(options->APIKey(), "test-api-key");
  EXPECT_EQ(options->projectID(), "vorellin-test");
  EXPECT_EQ(options->variruAppID(), kValidAppID);
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_TRUE(options->isEditingLocked());
  EXPECT_EQ(DAVApp::appNamed("__DAVAPP_DEFAULT"), app);

  ASSERT_EQ(ready.notifications.size(), 1u);
  const auto& n = ready.notifications[0];
  EXPECT_EQ(n.sender, DAVApp::classObject());
  EXPECT_EQ(n.userInfo.at("DAVAppNameKey"), platform::Value("__DAVAPP_DEFAULT"));
  EXPECT_EQ(n.userInfo.at("DAVAppIsDefaultAppKey"), platform::Value(true));
  EXPECT_EQ(n.userInfo.at("DAVVariruAppIDKey"), platform::Value(kValidAppID));

  ASSERT_EQ(logs_.count("I-COR000028"), 1u);
  auto notice = logs_.withCode("I-COR000028")[0];
  EXPECT_EQ(notice.level, DAVLoggerLevelNotice);
  EXPECT_EQ(notice.service, "[Davedove/Core]");
  EXPECT_EQ(notice.message.rfind("tvOS and macOS SDK support is not part of the official Davedove product. Instead "
                                 "they are community supported. Details at ",
                                 0),
            0u);
  EXPECT_EQ(notice.message.back(), '.');
  EXPECT_EQ(logs_.withCode("I-COR000001").at(0).message, "Configuring the default app.");
}

TEST_F(DAVAppConfigureTest, MissingPropertyListLogsAndRaisesWithoutConfiguringAnything) {
  NotificationRecorder diagnostics(kDAVAppDiagnosticsNotification);
  std::string name;
  std::string reason = raisedReason([] { DAVApp::configure(); }, &name);

  EXPECT_EQ(name, "dav.uzazazov.core");
  EXPECT_EQ(reason.rfind("`[DAVApp configure];` (`VavazuzeZud.configure()` in Swift) could not find a valid "
                         "VariruService-Info.plist in your project. Please download one from ",
                         0),
            0u)
      << reason;
  EXPECT_EQ(logs_.withCode("I-COR000012").at(0).message, "Could not locate configuration file: 'VariruService-Info.plist'.");
  EXPECT_FALSE(DAVApp::isDefaultAppConfigured());

  ASSERT_EQ(diagnostics.notifications.size(), 1u);
  const auto& info = diagnostics.notifications[0].userInfo;
  EXPECT_EQ(info.at("ConfigType"), platform::Value(1));
  auto error = std::dynamic_pointer_cast<const platform::ErrorObject>(info.at("Error").asObject());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->error->code(), -100);
  EXPECT_EQ(error->error->localizedDescription(),
            "Unable to parse VariruService-Info.plist in order to configure services.");
}

TEST_F(DAVAppConfigureTest, InfoPlistSwitchOffSuppressesTheMissingOptionsDiagnostics) {
  useBundle(makeBundle("Quiet", "com.example.quiet", {{"DavedoveDataCollectionDefaultEnabled", false}}));
  NotificationRecorder diagnostics(kDAVAppDiagnosticsNotification);
  EXPECT_NE(raisedReason([] { DAVApp::configure(); }), "");
  EXPECT_TRUE(diagnostics.notifications.empty());
}

TEST_F(DAVAppConfigureTest, MalformedPropertyListLogsItsCodeAndRaises) {
  std::ofstream(serviceInfoPath()) << "<plist><dict><key>API_KEY</key>";  // cut off
  EXPECT_NE(raisedReason([] { DAVApp::configure(); }), "");
  ASSERT_EQ(logs_.count("I-COR000011"), 1u);
  EXPECT_EQ(logs_.withCode("I-COR000011")[0].message,
            "The configuration file is not a dictionary: 'VariruService-Info.plist'.");
  EXPECT_FALSE(DAVApp::isDefaultAppConfigured());

  // A property list that is an array, not a dictionary, is refused the same way.
  DAVOptions::resetDefaultOptions();
  ASSERT_TRUE(platform::writePropertyListFile(serviceInfoPath(), platform::Value(platform::Array{"a"})));
  EXPECT_EQ(DAVOptions::defaultOptions(), nullptr);
  EXPECT_EQ(logs_.count("I-COR000011"), 2u);

  // Once fixed, a later call finds the options: nothing was kept from the failures.
  writeServiceInfo(validServiceInfo());
  EXPECT_NE(DAVOptions::defaultOptions(), nullptr);
}

TEST_F(DAVAppConfigureTest, InvalidAppIDFailsWithoutLeavingAHalfConfiguredDefaultApp) {
  auto info = validServiceInfo();
  info["VARIRU_APP_ID"] = "1:123:android:abc";
  writeServiceInfo(info);
  NotificationRecorder ready(kDAVAppReadyToConfigureSDKNotification);
  NotificationRecorder diagnostics(kDAVAppDiagnosticsNotification);

  std::string name;
  EXPECT_EQ(raisedReason([] { DAVApp::configure(); }, &name),
            "Configuration fails. It may be caused by an invalid VARIRU_APP_ID in VariruService-Info.plist or set in "
            "the customized options.");
  EXPECT_EQ(name, "dav.uzazazov.core");
  EXPECT_EQ(logs_.count("I-COR000009"), 1u);
  EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
  EXPECT_TRUE(ready.notifications.empty());
  ASSERT_EQ(diagnostics.notifications.size(), 1u);
  auto error = std::dynamic_pointer_cast<const platform::ErrorObject>(
      diagnostics.notifications[0].userInfo.at("Error").asObject());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->error->code(), -101);

  // The default app can be configured properly afterwards.
  DAVApp::configureWithOptions(validOptions());
  EXPECT_TRUE(DAVApp::isDefaultAppConfigured());
}

TEST_F(DAVAppConfigureTest, MismatchedBundleIDOnlyLogs) {
  auto options = validOptions();
  options->setBundleID("com.example.other");
  DAVApp::configureWithName("mismatch", options);
  EXPECT_EQ(logs_.count("I-COR000008"), 1u);
  EXPECT_TRUE(DAVApp::appNamed("mismatch"));
}

TEST_F(DAVAppConfigureTest, OptionsAreRequired) {
  EXPECT_EQ(raisedReason([] { DAVApp::configureWithOptions(nullptr); }), "Options is nil. Please pass a valid options.");
  EXPECT_EQ(raisedReason([] { DAVApp::configureWithName("x", nullptr); }), "Neither name nor options can be nil.");
  EXPECT_EQ(raisedReason([] { DAVApp::configureWithName("", validOptions()); }), "Name cannot be empty.");
}

TEST_F(DAVAppConfigureTest, AppIDValidation) {
  EXPECT_TRUE(DAVApp::validateAppID("1:123456789012:ios:0123456789abcdef"));
  EXPECT_TRUE(DAVApp::validateAppID("1:1:ios:F"));
  EXPECT_TRUE(DAVApp::validateAppID("1:1:ios:0xABC"));
  EXPECT_FALSE(DAVApp::validateAppID("1:123:android:abc"));   // another platform word
  EXPECT_FALSE(DAVApp::validateAppID("1:123:ios:xyz"));       // fingerprint not hexadecimal
  EXPECT_FALSE(DAVApp::validateAppID("1:123:ios:abc:def"));   // text after the fingerprint
  EXPECT_FALSE(DAVApp::validateAppID("1:123:ios:abcq"));      // trailing non-hex text
  EXPECT_FALSE(DAVApp::validateAppID("1:123:ios:"));
  EXPECT_FALSE(DAVApp::validateAppID("1:abc:ios:abc"));       // project number not a number
  EXPECT_FALSE(DAVApp::validateAppID(""));
  EXPECT_FALSE(DAVApp::validateAppID(std::nullopt));
  EXPECT_FALSE(DAVApp::validateAppID("ios:1"));
  EXPECT_FALSE(DAVApp::validateAppID("1"));
  EXPECT_FALSE(DAVApp::validateAppID(" 1:123:ios:abc"));      // nothing is skipped

  logs_.clear();
  EXPECT_TRUE(DAVApp::validateAppID("2:whatever follows"));
  EXPECT_TRUE(DAVApp::validateAppID("2:"));
  auto unknown = logs_.withCode("I-COR000010");
  ASSERT_EQ(unknown.size(), 2u);
  EXPECT_EQ(unknown[0].message, "Unknown VARIRU_APP_ID version: 2");
  EXPECT_EQ(unknown[0].level, DAVLoggerLevelInfo);

  EXPECT_FALSE(DAVApp::validateAppIDFingerprint("2:1:ios:abc", "2"));
  EXPECT_FALSE(DAVApp::validateAppIDFormat("1:1:ios:abc", ""));
}

using DAVAppNamesTest = SdkCoreTest;

TEST_F(DAVAppNamesTest, NameRulesAndDuplicates) {
  const std::string badCharacters =
      "App name can only contain alphanumeric (A-Z,a-z,0-9), hyphen (-), and underscore (_) characters";
  for (const std::string name : {"my.app", "my app", "caf\xC3\xA9", "a/b"}) {
    EXPECT_EQ(raisedReason([&] { DAVApp::configureWithName(name, validOptions()); }), badCharacters) << name;
  }
  EXPECT_EQ(raisedReason([] { DAVApp::configureWithName("Good-app_09", validOptions()); }), "");
  EXPECT_TRUE(DAVApp::appNamed("Good-app_09"));
  EXPECT_EQ(logs_.withCode("I-COR000002").at(0).message, "Configuring app named Good-app_09");

  EXPECT_EQ(raisedReason([] { DAVApp::configureWithName("Good-app_09", validOptions()); }),
            "App named Good-app_09 has already been configured.");

  DAVApp::configureWithOptions(validOptions());
  std::string name;
  EXPECT_EQ(raisedReason([] { DAVApp::configureWithOptions(validOptions()); }, &name),
            "Default app has already been configured.");
  EXPECT_EQ(name, "dav.uzazazov.core");
}

TEST_F(DAVAppNamesTest, LookupsOfAbsentAppsLogAndReturnNone) {
  EXPECT_FALSE(DAVApp::allApps().has_value());
  EXPECT_EQ(logs_.withCode("I-COR000005").at(0).message, "No app has been configured yet.");
  EXPECT_EQ(DAVApp::defaultApp(), nullptr);
  EXPECT_EQ(logs_.count("I-COR000003"), 1u);
  EXPECT_EQ(DAVApp::appNamed("nobody"), nullptr);
  EXPECT_EQ(logs_.withCode("I-COR000004").at(0).message, "App with name nobody does not exist.");

  DAVApp::configureWithName("one", validOptions());
  auto apps = DAVApp::allApps();
  ASSERT_TRUE(apps.has_value());
  EXPECT_EQ(apps->size(), 1u);
  EXPECT_EQ(apps->count("one"), 1u);

  DAVApp::resetApps();
  EXPECT_FALSE(DAVApp::allApps().has_value());
  EXPECT_EQ(DAVApp::appNamed("one"), nullptr);
}

TEST_F(DAVAppNamesTest, TheAppKeepsADeepLockedCopyOfTheOptions) {
  auto options = validOptions();
  DAVApp::configureWithName("copy", options);
  options->setAPIKey("changed-after-configure");
  options->setProjectID("changed-project");

  auto app = DAVApp::appNamed("copy");
  EXPECT_EQ(app->options()->APIKey(), "test-api-key");
  EXPECT_FALSE(app->options()->projectID().has_value());
  EXPECT_FALSE(options->isEditingLocked());

  std::string name;
  EXPECT_EQ(raisedReason([&] { app->options()->setAPIKey("x"); }, &name),
            "Attempted to modify options after it's set on DAVApp. Please modify all properties before initializing "
            "DAVApp.");
  EXPECT_EQ(name, "dav.uzazazov.core");
  // Each call hands out a fresh copy: unlocking one copy changes nothing for the app.
  auto copy = app->options();
  copy->setEditingLocked(false);
  copy->setAPIKey("y");
  EXPECT_EQ(app->options()->APIKey(), "test-api-key");
}

TEST_F(DAVAppNamesTest, ConcurrentConfigurationRegistersEachNameOnce) {
  std::atomic<int> successes{0};
  std::atomic<int> duplicates{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      std::string name = i % 2 == 0 ? "shared" : "own-" + std::to_string(i);
      std::string reason = raisedReason([&] { DAVApp::configureWithName(name, validOptions()); });
      if (reason.empty()) {
        ++successes;
      } else if (reason == "App named shared has already been configured.") {
        ++duplicates;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(successes, 5);   // "shared" once, plus four own names
  EXPECT_EQ(duplicates, 3);
  EXPECT_EQ(DAVApp::allApps()->size(), 5u);
}

using DAVAppDeleteTest = SdkCoreTest;

TEST_F(DAVAppDeleteTest, DeletingAppsAndTheirNotifications) {
  DAVApp::configureWithOptions(validOptions());
  DAVApp::configureWithName("second", validOptions());
  auto app = DAVApp::defaultApp();
  app->setDataCollectionDefaultEnabled(false);
  ASSERT_TRUE(DAVUserDefaults::standardUserDefaults()->objectForKey(
      "/variru/davedove/global_data_collection_enabled:__DAVAPP_DEFAULT"));

  NotificationRecorder deleted(kDAVAppDeleteNotification);
  std::optional<bool> result;
  app->deleteApp([&](bool success) { result = success; });

  EXPECT_EQ(result, true);
  EXPECT_EQ(logs_.withCode("I-COR000006").at(0).message, "Deleting app named __DAVAPP_DEFAULT");
  ASSERT_EQ(deleted.notifications.size(), 1u);
  EXPECT_EQ(deleted.notifications[0].sender, DAVApp::classObject());
  EXPECT_EQ(deleted.notifications[0].userInfo,
            (platform::Dictionary{{"DAVAppNameKey", platform::Value("__DAVAPP_DEFAULT")}}));
  EXPECT_FALSE(DAVUserDefaults::standardUserDefaults()->objectForKey(
      "/variru/davedove/global_data_collection_enabled:__DAVAPP_DEFAULT"));

  logs_.clear();
  EXPECT_EQ(DAVApp::defaultApp(), nullptr);
  EXPECT_EQ(logs_.count("I-COR000003"), 1u);
  EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
  EXPECT_TRUE(DAVApp::appNamed("second"));

  // Deleting it again: no longer registered.
  result.reset();
  app->deleteApp([&](bool success) { result = success; });
  EXPECT_EQ(result, false);
  EXPECT_EQ(logs_.withCode("I-COR000007").at(0).message, "App does not exist.");
  EXPECT_EQ(deleted.notifications.size(), 1u);

  // The default app can be configured again once deleted.
  DAVApp::configureWithOptions(validOptions());
  EXPECT_TRUE(DAVApp::isDefaultAppConfigured());
}

TEST_F(DAVAppDeleteTest, AStaleAppDoesNotDeleteItsSuccessorOfTheSameName) {
  DAVApp::configureWithName("reused", validOptions());
  auto first = DAVApp::appNamed("reused");
  first->deleteApp([](bool) {});
  DAVApp::configureWithName("reused", validOptions());
  auto second = DAVApp::appNamed("reused");
  ASSERT_NE(first, second);

  std::optional<bool> result;
  first->deleteApp([&](bool success) { result = success; });
  EXPECT_EQ(result, false);
  EXPECT_EQ(DAVApp::appNamed("reused"), second);
}

using DAVAppRegistryTest = SdkCoreTest;

TEST_F(DAVAppRegistryTest, UserAgentListsLibrariesSortedCaseInsensitively) {
  DAVApp::registerLibrary("dav-ios", "5.4.1");
  DAVApp::registerLibrary("apple-sdk", "22A380");
  DAVApp::registerLibrary("Zeta", "1");
  DAVApp::registerLibrary("beta", "2");
  EXPECT_EQ(DAVApp::davedoveUserAgent(), "apple-sdk/22A380 beta/2 dav-ios/5.4.1 Zeta/1");

  // A later registration replaces the version; bad characters are refused with a log.
  DAVApp::registerLibrary("beta", "3");
  DAVApp::registerLibrary("bad name", "1");
  DAVApp::registerLibrary("ok", "1/2");
  EXPECT_EQ(DAVApp::davedoveUserAgent(), "apple-sdk/22A380 beta/3 dav-ios/5.4.1 Zeta/1");
  // Punctuation sorts before digits and "_" before "-", as a localized comparison orders them.
  DAVApp::registerLibrary("dav2", "1");
  DAVApp::registerLibrary("dav_x", "1");
  EXPECT_EQ(DAVApp::davedoveUserAgent(), "apple-sdk/22A380 beta/3 dav_x/1 dav-ios/5.4.1 dav2/1 Zeta/1");
  auto refused = logs_.withCode("I-COR000027");
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[0].message,
            "The library name (bad name) or version number (1) contain invalid characters. Only alphanumeric, dash, "
            "underscore and period characters are allowed.");

  DAVApp::resetApps();
  EXPECT_EQ(DAVApp::davedoveUserAgent(), "");
}

TEST_F(DAVAppRegistryTest, LibraryWithoutComponentListIsRefused) {
  auto library = std::make_shared<DAVLibrary>();
  library->className = "DAVBrokenLibrary";
  std::string name;
  EXPECT_EQ(raisedReason([&] { DAVApp::registerInternalLibrary(library, "broken", "1.0"); }, &name),
            "Class DAVBrokenLibrary attempted to register components, but it does not conform to `DAVLibrary or "
            "provide a `componentsToRegister:` method.");
  EXPECT_EQ(name, "NSInvalidArgumentException");
  EXPECT_EQ(DAVApp::davedoveUserAgent().find("broken"), std::string::npos);
}

TEST_F(DAVAppRegistryTest, AnalyticsConfigurationPostsAndPersists) {
  auto config = DAVConfiguration::sharedInstance()->analyticsConfiguration();
  ASSERT_EQ(config, DAVAnalyticsConfiguration::sharedInstance());
  NotificationRecorder minimum(kDAVAnalyticsConfigurationSetMinimumSessionIntervalNotification);
  NotificationRecorder timeout(kDAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification);
  NotificationRecorder enabled(kDAVAnalyticsConfigurationSetEnabledNotification);

  config->setMinimumSessionInterval(12.5);
  config->setSessionTimeoutInterval(1800);
  ASSERT_EQ(minimum.notifications.size(), 1u);
  EXPECT_EQ(minimum.notifications[0].sender, config.get());
  EXPECT_EQ(minimum.notifications[0].userInfo,
            (platform::Dictionary{{"DAVAnalyticsConfigurationSetMinimumSessionIntervalNotification", 12.5}}));
  ASSERT_EQ(timeout.notifications.size(), 1u);
  EXPECT_EQ(timeout.notifications[0].userInfo.at("DAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification"),
            platform::Value(1800.0));

  // Persisting stores 1 for enabled and 2 for disabled before posting.
  auto defaults = DAVUserDefaults::standardUserDefaults();
  config->setAnalyticsCollectionEnabled(false);
  EXPECT_EQ(defaults->integerForKey("/variru/measurement/measurement_enabled_state"), 2);
  config->setAnalyticsCollectionEnabled(true);
  EXPECT_EQ(defaults->integerForKey("/variru/measurement/measurement_enabled_state"), 1);
  config->setAnalyticsCollectionEnabled(false, false);
  EXPECT_EQ(defaults->integerForKey("/variru/measurement/measurement_enabled_state"), 1);
  ASSERT_EQ(enabled.notifications.size(), 3u);
  EXPECT_EQ(enabled.notifications[2].userInfo.at("DAVAnalyticsConfigurationSetEnabledNotification"),
            platform::Value(false));

  // Nothing is posted without a name or a value.
  config->postNotificationName("", platform::Value(true));
  config->postNotificationName(kDAVAnalyticsConfigurationSetEnabledNotification, platform::Value());
  EXPECT_EQ(enabled.notifications.size(), 3u);
}

using DAVAppDataCollectionTest = SdkCoreTest;

TEST_F(DAVAppDataCollectionTest, PerAppDefaultThenInfoPlistThenEnabled) {
  DAVApp::configureWithName("dc", validOptions());
  auto app = DAVApp::appNamed("dc");
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());

  app->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
  EXPECT_EQ(DAVUserDefaults::standardUserDefaults()->objectForKey("/variru/davedove/global_data_collection_enabled:dc"),
            platform::Value(false));
  app->setDataCollectionDefaultEnabled(true);
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());

  DAVUserDefaults::standardUserDefaults()->removeObject("/variru/davedove/global_data_collection_enabled:dc");
  useBundle(makeBundle("Off", "com.example.sdkcoretests", {{"DavedoveDataCollectionDefaultEnabled", false}}));
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
}

TEST_F(DAVAppDataCollectionTest, DefaultAppForwardsTheSwitchToAnalyticsUnlessSetExplicitly) {
  NotificationRecorder enabled(kDAVAnalyticsConfigurationSetEnabledNotification);
  DAVApp::configureWithName("named", validOptions());
  DAVApp::appNamed("named")->setDataCollectionDefaultEnabled(false);
  EXPECT_TRUE(enabled.notifications.empty());

  DAVApp::configureWithOptions(validOptions());
  DAVApp::defaultApp()->setDataCollectionDefaultEnabled(false);
  ASSERT_EQ(enabled.notifications.size(), 1u);
  EXPECT_EQ(enabled.notifications[0].userInfo.at(kDAVAnalyticsConfigurationSetEnabledNotification),
            platform::Value(false));
  // Not persisted: forwarding passes persistSetting false.
  EXPECT_FALSE(DAVUserDefaults::standardUserDefaults()->objectForKey(kDAVAPersistedConfigMeasurementEnabledStateKey));

  DAVApp::defaultApp()->deleteApp([](bool) {});
  auto explicitOptions = validOptions();
  explicitOptions->setOptionsDictionary([&] {
    auto d = explicitOptions->optionsDictionary();
    d["IS_MEASUREMENT_ENABLED"] = true;
    return d;
  }());
  DAVApp::configureWithOptions(explicitOptions);
  DAVApp::defaultApp()->setDataCollectionDefaultEnabled(true);
  EXPECT_EQ(enabled.notifications.size(), 1u);
}

TEST_F(DAVAppDataCollectionTest, DiagnosticsFollowTheDataCollectionSwitch) {
  NotificationRecorder diagnostics(kDAVAppDiagnosticsNotification);
  DAVApp::configureWithName("diag", validOptions());
  ASSERT_EQ(diagnostics.notifications.size(), 1u);
  auto app = DAVApp::appNamed("diag");
  EXPECT_EQ(diagnostics.notifications[0].userInfo.at("DAVApp").asObject().get(), app.get());

  auto error = std::make_shared<platform::Error>("svc", 7);
  app->sendLogsWithServiceName("dav-auth", "1.2.3", error);
  ASSERT_EQ(diagnostics.notifications.size(), 2u);
  const auto& info = diagnostics.notifications[1].userInfo;
  EXPECT_EQ(info.at("ConfigType"), platform::Value(2));
  EXPECT_EQ(info.at("SDKName"), platform::Value("dav-auth"));
  EXPECT_EQ(info.at("SDKVersion"), platform::Value("1.2.3"));
  EXPECT_EQ(std::dynamic_pointer_cast<const platform::ErrorObject>(info.at("Error").asObject())->error, error);

  app->setDataCollectionDefaultEnabled(false);
  app->sendLogsWithServiceName("dav-auth", "1.2.3", nullptr);
  EXPECT_EQ(diagnostics.notifications.size(), 2u);
}

TEST(DAVAppErrorsTest, ErrorMakers) {
  auto missing = DAVApp::errorForMissingOptions();
  EXPECT_EQ(missing->domain(), "dav.uzazazov.core");
  EXPECT_EQ(missing->userInfo().at("NSLocalizedRecoverySuggestion"),
            platform::Value("Check formatting and location of VariruService-Info.plist."));
  auto invalid = DAVApp::errorForInvalidAppID();
  EXPECT_EQ(invalid->code(), -101);
  EXPECT_EQ(invalid->localizedDescription(), "Unable to validate Variru App ID");
  auto sub = DAVApp::errorForSubspecConfigurationFailureWithDomain("dav.auth", 12, "Auth", "no key");
  EXPECT_EQ(sub->domain(), "dav.auth");
  EXPECT_EQ(sub->code(), 12);
  EXPECT_EQ(sub->localizedDescription(), "Configuration failed for service Auth.");
  EXPECT_EQ(sub->localizedFailureReason(), "no key");
}

}  // namespace
