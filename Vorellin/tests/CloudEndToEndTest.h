// The whole system in one process: the application object offscreen on the simulated Mac, its SDK
// configured from the bundle's property list to talk to the backend stand-in on loopback (identity,
// document service and the public-IP echoes), and the filtering resolvers of the stand-in on random
// loopback addresses, port 53. The cloud is changed through the backend's admin interface, as another
// client of the service would.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Vorellin/CloudCollections.h"
#include "Vorellin/tests/AppShellTest.h"
#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVUser.h"
#include "backend/dns/FilteringDnsService.h"
#include "backend/dns/PublicIpEchoServer.h"
#include "backend/src/TestBackend.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "platform/foundation/PropertyList.h"
#include "platform/net/URLRequest.h"

namespace vorellin::testing {

inline constexpr const char* kApiKey = "e2e-api-key";
inline constexpr const char* kAliceUid = "alice-uid";
inline constexpr const char* kBobUid = "bob-uid";
inline constexpr const char* kAliceEmail = "alice@vorellin.test";
inline constexpr const char* kBobEmail = "bob@vorellin.test";
inline constexpr const char* kPassword = "correct-horse-battery";

class CloudEndToEndTest : public AppShellTest {
 protected:
  void SetUp() override {
    VRL_REQUIRE_ROOT("the filtering resolvers listen on port 53");
    AppShellTest::SetUp();
    // A fresh cloud cache and no signed-in user left by an earlier test of this program.
    std::error_code ec;
    std::filesystem::remove_all(davedove::verorariv::local::VRVLevelDB::documentsDirectory().ToUtf8String(), ec);
    std::filesystem::remove_all(std::string(std::getenv("HOME")) + "/Library/Keychains", ec);
    platform::net::setAllowsInsecureLoopbackHTTP(true);
    DAVAuth::load();
    DAVVerorariv::load();

    for (auto* address : {&normal, &extreme, &ultra, &custom, &spare}) *address = backend::randomLoopbackAddress();
    nlohmann::json documents = referenceDocuments();
    documents["pin/" + std::string(kAliceUid)] = {{"userId", kAliceUid}, {"pin", "1111"}};
    documents["pin/" + std::string(kBobUid)] = {{"userId", kBobUid}, {"pin", "2222"}};
    documents["admin/masterPin"] = {{"masterPin", "9999"}};
    documents["customBlacklist/" + std::string(kAliceUid)] = {
        {"userId", kAliceUid}, {"blockMode", 0}, {"latestIpAddress", nlohmann::json::array()}};
    documents["customBlacklist/" + std::string(kBobUid)] = {
        {"userId", kBobUid}, {"blockMode", 1}, {"latestIpAddress", nlohmann::json::array()}};
    documents["users/alice-profile"] = {{"userId", kAliceUid}, {"devices", nlohmann::json::array()}};
    backend = std::make_unique<backend::TestBackend>(
        std::vector<backend::SeedUser>{{kAliceUid, kAliceEmail, kPassword}, {kBobUid, kBobEmail, kPassword}},
        std::vector<std::string>{kApiKey}, documents);

    resolvers = std::make_unique<backend::FilteringDnsService>();
    std::string error;
    ASSERT_TRUE(resolvers->applySeed(resolverSeed(documents), &error)) << error;
    ASSERT_TRUE(resolvers->start(&error)) << error;
    // A resolver waiting for an address the cloud will hand out later, with the extreme list.
    ASSERT_TRUE(resolvers->addResolver(spare, "extreme", &error)) << error;

    for (int i = 0; i < 3; ++i) {
      echoes.push_back(std::make_unique<backend::PublicIpEchoServer>(kFirstIp, i == 2 ? "/ip" : "/"));
      ASSERT_TRUE(echoes.back()->start(0, &error)) << error;
    }
    AppUtils::setPublicIpEchoUrls(std::nullopt);  // the bundle's configuration says where they are
    pointBundleAtBackend();
    writeServices({service("Wi-Fi"), service("Ethernet")});
    registerService();
  }

  void TearDown() override {
    if (::geteuid() != 0) return;
    if (delegate || launched_) {
      AppUtils::dnsTransitionQueue()->sync([] {});
      // The next test's database opens the same storage: this one lets it go first.
      if (std::shared_ptr<DAVVerorariv> db = CloudCollections::shared().verorariv()) {
        bool closed = false;
        db->shutdownWithCompletion([&](platform::ErrorPtr) { closed = true; });
        EXPECT_TRUE(runUntil([&] { return closed; }));
      }
      CloudCollections::shared().resetForTesting();
      AppUtils::setCurrentIpRegistration(nullptr);
    }
    if (auto auth = DAVApp::isDefaultAppConfigured() ? DAVAuth::auth() : nullptr) {
      platform::ErrorPtr ignored;
      auth->signOut(&ignored);
    }
    AppShellTest::TearDown();
    resolvers.reset();
    echoes.clear();
    backend.reset();
    platform::net::setAllowsInsecureLoopbackHTTP(false);
  }

  static constexpr const char* kFirstIp = "203.0.113.7";

  nlohmann::json referenceDocuments() const {
    return {{"dnsServers/blockModes",
             {{"normal", {{"ipv4", {normal}}}}, {"extreme", {{"ipv4", {extreme}}}}, {"ultraExtreme", {{"ipv4", {ultra}}}}}},
            {"dnsServers/customDns",
             {{"ipv4", {custom}}, {"dnsOverHttps", nlohmann::json::array({"https://127.0.0.1:1/dns-query"})}}}};
  }

  static nlohmann::json resolverSeed(const nlohmann::json& documents) {
    nlohmann::json seed = nlohmann::json::parse(R"({"filteringDns": {
      "answers": {"www.vorellin.test": "192.0.2.20", "games.vorellin.test": "192.0.2.22",
                  "adult.vorellin.test": "192.0.2.25", "social.vorellin.test": "192.0.2.23"},
      "blockLists": {"normal": ["adult.vorellin.test"],
                     "extreme": ["adult.vorellin.test", "games.vorellin.test"],
                     "ultraExtreme": ["adult.vorellin.test", "games.vorellin.test", "social.vorellin.test"],
                     "custom": ["social.vorellin.test"]}}})");
    seed["documents"] = documents;
    return seed;
  }

  // The SDK's configuration in the installed bundle, pointed at the stand-in.
  void pointBundleAtBackend() {
    const std::string plist =
        platform::systemPath("/Applications/Vorellin.app/Contents/Resources/VariruService-Info.plist");
    std::string error;
    std::optional<platform::Value> read = platform::readPropertyListFile(plist, &error);
    ASSERT_TRUE(read && read->asDictionary()) << error;
    platform::Dictionary options = *read->asDictionary();
    options["API_KEY"] = kApiKey;
    options["PROJECT_ID"] = backend->projectId();
    options["IDENTITY_SERVICE_URL"] = backend->baseURL();
    options["SECURE_TOKEN_SERVICE_URL"] = backend->baseURL();
    options["VERORARIV_HOST"] = backend->documentsHost();
    options["VERORARIV_SSL_ENABLED"] = false;
    platform::Array urls;
    for (const auto& echo : echoes) urls.emplace_back(echo->url());
    options["PUBLIC_IP_ECHO_URLS"] = platform::Value(urls);
    ASSERT_TRUE(platform::writePropertyListFile(plist, platform::Value(options), &error)) << error;
  }

  // Launches the application (nobody signed in yet), signs the user in and opens the listeners as
  // the main window does after a sign-in.
  void launchAndSignIn(const std::string& email) {
    launch();
    launched_ = true;
    ASSERT_NE(delegate, nullptr);
    signIn(email);
  }

  // With listen, the listeners open as the main window opens them after a sign-in.
  void signIn(const std::string& email, bool listen = true) {
    bool done = false;
    platform::ErrorPtr error;
    DAVAuth::auth()->signInWithEmail(email, kPassword, [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) {
      error = e;
      done = true;
    });
    ASSERT_TRUE(runUntil([&] { return done; }));
    ASSERT_EQ(error, nullptr) << error->description();
    if (listen) CloudCollections::shared().listenAllChanges();
  }

  void signOut() {
    platform::ErrorPtr error;
    ASSERT_TRUE(DAVAuth::auth()->signOut(&error)) << (error ? error->description() : "");
  }

  // Runs the main loop (listener callbacks) and lets queued DNS work finish until pred holds.
  static bool await(const std::function<bool()>& pred, int ms = 20000) {
    return runUntil([&] {
      AppUtils::dnsTransitionQueue()->sync([] {});
      return pred();
    }, ms);
  }

  static std::vector<std::string> wifi() { return current("Wi-Fi").dnsServers; }
  static std::vector<std::string> stored(const char* key) {
    return prefs()->stringArrayForKey(key).value_or(std::vector<std::string>{"<absent>"});
  }
  static std::string storedText(const char* key) { return prefs()->stringForKey(key).value_or("<absent>"); }

  std::vector<std::string> latestIpAddresses(const std::string& uid) {
    nlohmann::json document = backend->getDocument("customBlacklist/" + uid);
    std::vector<std::string> out;
    if (document.is_object() && document["fields"]["latestIpAddress"].is_array())
      for (const auto& a : document["fields"]["latestIpAddress"]) out.push_back(a.dump());
    return out;
  }

  std::string normal, extreme, ultra, custom, spare;
  std::unique_ptr<backend::TestBackend> backend;
  std::unique_ptr<backend::FilteringDnsService> resolvers;
  std::vector<std::unique_ptr<backend::PublicIpEchoServer>> echoes;

 private:
  bool launched_ = false;
};

}  // namespace vorellin::testing
