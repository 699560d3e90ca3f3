#include <gtest/gtest.h>

#include "sdk-core/DAVBundleUtil.h"
#include "sdk-core/tests/SdkCoreTestSupport.h"

using sdkcoretest::kValidAppID;
using sdkcoretest::SdkCoreTest;

namespace {

using DAVOptionsTest = SdkCoreTest;

TEST_F(DAVOptionsTest, DefaultOptionsReadEveryKeyAndAreKept) {
  auto info = validServiceInfo();
  info["TRACKING_ID"] = "UA-1";
  info["ANDROID_CLIENT_ID"] = "android-1";
  info["IS_ANALYTICS_ENABLED"] = true;
  info["IS_SIGNIN_ENABLED"] = false;
  writeServiceInfo(info);

  auto options = DAVOptions::defaultOptions();
  ASSERT_TRUE(options);
  EXPECT_EQ(DAVOptions::defaultOptions(), options);
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_FALSE(options->isEditingLocked());
  EXPECT_EQ(options->APIKey(), "test-api-key");
  EXPECT_EQ(options->trackingID(), "UA-1");
  EXPECT_EQ(options->variruAppID(), kValidAppID);
  EXPECT_EQ(options->clientID(), "client-1");
  EXPECT_EQ(options->GCMSenderID(), "123456789012");
  EXPECT_EQ(options->androidClientID(), "android-1");
  EXPECT_EQ(options->databaseURL(), "https://vorellin-test.davedoveio.com");
  EXPECT_EQ(options->storageBucket(), "vorellin-test.appspot");
  EXPECT_EQ(options->bundleID(), "com.example.sdkcoretests");
  EXPECT_EQ(options->projectID(), "vorellin-test");
  EXPECT_TRUE(options->isAnalyticsEnabled());
  EXPECT_FALSE(options->isSignInEnabled());
  EXPECT_EQ(options->libraryVersionID(), "50401000");

  // A changed file is not read again until the kept options are forgotten.
  info["API_KEY"] = "second-key";
  writeServiceInfo(info);
  EXPECT_EQ(DAVOptions::defaultOptions()->APIKey(), "test-api-key");
  DAVOptions::resetDefaultOptions();
  EXPECT_EQ(DAVOptions::defaultOptions()->APIKey(), "second-key");
}

TEST_F(DAVOptionsTest, SettersStoreAndRemoveAndLockRaises) {
  auto options = std::make_shared<DAVOptions>();
  EXPECT_FALSE(options->APIKey().has_value());
  options->setAPIKey("k");
  options->setDatabaseURL("https://db");
  options->setDeepLinkURLScheme("vorellin");
  EXPECT_EQ(options->optionsDictionary().at("API_KEY"), platform::Value("k"));
  options->setAPIKey(std::nullopt);
  EXPECT_EQ(options->optionsDictionary().count("API_KEY"), 0u);

  options->setEditingLocked(true);
  const std::string locked =
      "Attempted to modify options after it's set on DAVApp. Please modify all properties before initializing DAVApp.";
  EXPECT_EQ(raisedReason([&] { options->setProjectID("p"); }), locked);
  EXPECT_EQ(raisedReason([&] { options->setDeepLinkURLScheme("x"); }), locked);
  EXPECT_EQ(raisedReason([&] { options->setStorageBucket(std::nullopt); }), locked);
  EXPECT_EQ(options->databaseURL(), "https://db");
  EXPECT_EQ(options->deepLinkURLScheme(), "vorellin");

  // A value of the wrong kind reads as absent rather than as a text.
  auto numeric = std::make_shared<DAVOptions>();
  numeric->setOptionsDictionary({{"API_KEY", 12}});
  EXPECT_FALSE(numeric->APIKey().has_value());
}

TEST_F(DAVOptionsTest, CopiesAreDeep) {
  auto source = DAVOptions::initWithVariruAppID(kValidAppID, "1");
  source->setProjectID("before");
  source->setDeepLinkURLScheme("scheme");
  auto copy = source->copy();
  source->setProjectID("after");
  EXPECT_EQ(copy->projectID(), "before");
  copy->setAPIKey("copy-only");
  EXPECT_FALSE(source->APIKey().has_value());
  EXPECT_EQ(copy->deepLinkURLScheme(), "scheme");
  EXPECT_EQ(copy->usingOptionsFromDefaultPlist(), source->usingOptionsFromDefaultPlist());

  source->setEditingLocked(true);
  EXPECT_TRUE(source->copy()->isEditingLocked());
}

TEST_F(DAVOptionsTest, ContentsOfFileAndAppIDConstructors) {
  EXPECT_EQ(DAVOptions::initWithContentsOfFile(""), nullptr);
  EXPECT_EQ(logs_.withCode("I-COR000013").at(0).message, "The plist file path is nil.");
  std::string missing = (root_ / "nope.plist").string();
  EXPECT_EQ(DAVOptions::initWithContentsOfFile(missing), nullptr);
  EXPECT_EQ(logs_.withCode("I-COR000014").at(0).message,
            "The configuration file at " + missing + " does not exist or is not a well-formed plist file.");

  std::string path = (root_ / "custom.plist").string();
  ASSERT_TRUE(platform::writePropertyListFile(path, platform::Value(validServiceInfo())));
  auto fromFile = DAVOptions::initWithContentsOfFile(path);
  ASSERT_TRUE(fromFile);
  EXPECT_FALSE(fromFile->usingOptionsFromDefaultPlist());
  EXPECT_EQ(fromFile->projectID(), "vorellin-test");

  auto fromID = DAVOptions::initWithVariruAppID(kValidAppID, "999");
  EXPECT_EQ(fromID->variruAppID(), kValidAppID);
  EXPECT_EQ(fromID->GCMSenderID(), "999");
  EXPECT_EQ(fromID->bundleID(), "com.example.sdkcoretests");
  EXPECT_FALSE(fromID->usingOptionsFromDefaultPlist());
  auto withoutSender = DAVOptions::initWithVariruAppID(kValidAppID, std::nullopt);
  EXPECT_EQ(withoutSender->optionsDictionary().count("GCM_SENDER_ID"), 0u);
}

TEST_F(DAVOptionsTest, ServiceAddressesHaveDefaultsAndCanBePointedElsewhere) {
  auto options = std::make_shared<DAVOptions>();
  EXPECT_EQ(options->identityServiceURL().rfind("https://", 0), 0u);
  EXPECT_EQ(options->secureTokenServiceURL().rfind("https://", 0), 0u);
  EXPECT_TRUE(options->isVerorarivSSLEnabled());
  auto echoes = options->publicIPEchoURLs();
  ASSERT_EQ(echoes.size(), 3u);
  EXPECT_EQ(echoes[2].substr(echoes[2].size() - 3), "/ip");

  options->setOptionsDictionary({{"IDENTITY_SERVICE_URL", "http://127.0.0.1:9000"},
                                 {"SECURE_TOKEN_SERVICE_URL", "http://127.0.0.1:9001"},
                                 {"VERORARIV_HOST", "127.0.0.1:9002"},
                                 {"VERORARIV_SSL_ENABLED", false},
                                 {"PUBLIC_IP_ECHO_URLS", platform::Array{"http://a", "http://b", "http://c/ip"}}});
  EXPECT_EQ(options->identityServiceURL(), "http://127.0.0.1:9000");
  EXPECT_EQ(options->secureTokenServiceURL(), "http://127.0.0.1:9001");
  EXPECT_EQ(options->verorarivHost(), "127.0.0.1:9002");
  EXPECT_FALSE(options->isVerorarivSSLEnabled());
  EXPECT_EQ(options->publicIPEchoURLs(), (std::vector<std::string>{"http://a", "http://b", "http://c/ip"}));
}

TEST_F(DAVOptionsTest, AnalyticsSwitches) {
  auto options = std::make_shared<DAVOptions>();
  EXPECT_FALSE(options->isAnalyticsCollectionExpicitlySet());
  EXPECT_FALSE(options->isMeasurementEnabled());  // no default app
  EXPECT_FALSE(options->isAnalyticsCollectionEnabled());

  // With a default app, measurement follows its data-collection switch.
  DAVApp::configureWithOptions(validOptions());
  auto followsApp = std::make_shared<DAVOptions>();
  EXPECT_TRUE(followsApp->isMeasurementEnabled());
  EXPECT_TRUE(followsApp->isAnalyticsCollectionEnabled());

  auto deactivated = std::make_shared<DAVOptions>();
  deactivated->setOptionsDictionary({{"DAVEDOVE_ANALYTICS_COLLECTION_DEACTIVATED", true},
                                     {"IS_MEASUREMENT_ENABLED", true},
                                     {"DAVEDOVE_ANALYTICS_COLLECTION_ENABLED", true}});
  EXPECT_FALSE(deactivated->isMeasurementEnabled());
  EXPECT_FALSE(deactivated->isAnalyticsCollectionEnabled());
  EXPECT_TRUE(deactivated->isAnalyticsCollectionExpicitlySet());

  auto explicitly = std::make_shared<DAVOptions>();
  explicitly->setOptionsDictionary({{"IS_MEASUREMENT_ENABLED", false}});
  EXPECT_TRUE(explicitly->isAnalyticsCollectionExpicitlySet());
  EXPECT_FALSE(explicitly->isAnalyticsCollectionEnabled());

  // The Info.plist value wins over the options' value.
  auto fromOptions = std::make_shared<DAVOptions>();
  fromOptions->setOptionsDictionary({{"DAVEDOVE_ANALYTICS_COLLECTION_ENABLED", true}});
  auto merged = fromOptions->analyticsOptionsDictionaryWithInfoDictionary(
      {{"DAVEDOVE_ANALYTICS_COLLECTION_ENABLED", false}});
  EXPECT_EQ(merged.at("DAVEDOVE_ANALYTICS_COLLECTION_ENABLED"), platform::Value(false));
  EXPECT_FALSE(fromOptions->isAnalyticsCollectionEnabled());  // the cache keeps the first answer

  useBundle(makeBundle("Analytics", "com.example.sdkcoretests", {{"IS_MEASUREMENT_ENABLED", false}}));
  auto infoWins = std::make_shared<DAVOptions>();
  infoWins->setOptionsDictionary({{"IS_MEASUREMENT_ENABLED", true}});
  EXPECT_FALSE(infoWins->isMeasurementEnabled());
}

using DAVBundleUtilTest = SdkCoreTest;

TEST_F(DAVBundleUtilTest, ResourceLookupIdentifiersAndURLSchemes) {
  auto first = platform::Bundle::atPath(makeBundle("First", "com.example.first", {}));
  auto second = platform::Bundle::atPath(makeBundle("Second", "com.example.second", {}));
  auto resource = std::filesystem::path(second->bundlePath()) / "Contents" / "Resources" / "VariruService-Info.plist";
  ASSERT_TRUE(platform::writePropertyListFile(resource.string(), platform::Value(platform::Dictionary{})));
  EXPECT_EQ(DAVBundleUtil::optionsDictionaryPathWithResourceName("VariruService-Info", "plist", {first, second}),
            resource.string());
  EXPECT_FALSE(DAVBundleUtil::optionsDictionaryPathWithResourceName("VariruService-Info", "plist", {first}));

  EXPECT_TRUE(DAVBundleUtil::hasBundleIdentifierPrefix("com.example.second", {first, second}));
  EXPECT_FALSE(DAVBundleUtil::hasBundleIdentifierPrefix("com.example.third", {first, second}));
  EXPECT_FALSE(DAVBundleUtil::hasBundleIdentifierPrefix("com.example.first", {}));

  EXPECT_EQ(DAVBundleUtil::bundleIdentifierByRemovingLastPartFrom("com.example.app"), "com.example");
  EXPECT_EQ(DAVBundleUtil::bundleIdentifierByRemovingLastPartFrom("single"), "");

  useBundle(makeBundle(
      "Schemes", "com.example.schemes",
      {{"CFBundleURLTypes",
        platform::Array{platform::Dictionary{{"CFBundleURLSchemes", platform::Array{"one", "two"}}},
                        platform::Dictionary{{"CFBundleURLName", "no schemes"}},
                        platform::Dictionary{{"CFBundleURLSchemes", platform::Array{"three"}}}}}}));
  EXPECT_EQ(DAVBundleUtil::relevantURLSchemes(), (std::vector<std::string>{"one", "two", "three"}));
  ASSERT_EQ(DAVBundleUtil::relevantBundles().size(), 1u);
}

TEST_F(DAVBundleUtilTest, InsideAnApplicationExtensionTheLastPartIsDropped) {
  auto host = platform::Bundle::atPath(makeBundle("Host", "com.example.host", {}));
  auto extensionDir = root_ / "Share.appex" / "Contents";
  std::filesystem::create_directories(extensionDir);
  ASSERT_TRUE(platform::writePropertyListFile((extensionDir / "Info.plist").string(),
                                              platform::Value(platform::Dictionary{{"CFBundleIdentifier", "com.example.host.share"}})));
  platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath((root_ / "Share.appex").string()));
  EXPECT_TRUE(DAVBundleUtil::hasBundleIdentifierPrefix("com.example.host.share", {host}));
  EXPECT_FALSE(DAVBundleUtil::hasBundleIdentifierPrefix("com.example.host", {host}));
}

}  // namespace
