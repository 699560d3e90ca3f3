// The five cloud-settings listeners fed snapshots as the database hands them over, without a backend:
// what each stores, the DNS requests it queues (which reach the simulated Mac's networksetup) and the
// proxy configuration it rewrites.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <set>

#include "Vorellin/CloudCollections.h"
#include "Vorellin/tests/AppShellTest.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVQuerySnapshot.h"
#include "davedove/verorariv/api/DAVUserDataConverter.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/document_set.h"

namespace vorellin::testing {
namespace {

namespace model = davedove::verorariv::model;
using platform::logging::LogFlag;
using Strings = std::vector<std::string>;
using Documents = std::vector<std::pair<std::string, DAVValue::Map>>;

constexpr const char* kBlockModes = "listenToDnsServerBlockModes(uid:)";
constexpr const char* kCustomDns = "listenToDnsServerCustomDns(uid:)";
constexpr const char* kCustomBlacklist = "listenToCustomBlacklist(uid:)";
constexpr const char* kSetDns = "setDns(force:clearDns:functionCaller:file:line:)";

// A database whose client never starts: snapshots only need its id.
std::shared_ptr<DAVVerorariv> database() {
  static auto* db = new std::shared_ptr<DAVVerorariv>(
      std::make_shared<DAVVerorariv>(model::DatabaseId("listener-tests", "(default)"), "listener-tests", nullptr, nullptr));
  return *db;
}

model::DocumentPtr document(const std::string& path, const DAVValue::Map& fields) {
  const model::DocumentKey key = model::DocumentKey::FromPathString(path);
  auto set = std::dynamic_pointer_cast<const model::VRVSetMutation>(
      DAVUserDataConverter(database()->databaseID()).setMutations(fields, key).at(0));
  return model::VRVDocument::documentWithData(set->value(), key, model::SnapshotVersion::None(),
                                              model::DocumentState::Synced);
}

// The document's snapshot; without fields the document does not exist.
std::shared_ptr<DAVDocumentSnapshot> documentSnapshot(const std::string& path,
                                                      const std::optional<DAVValue::Map>& fields) {
  return std::make_shared<DAVDocumentSnapshot>(database(), model::DocumentKey::FromPathString(path),
                                               fields ? document(path, *fields) : nullptr,
                                               DAVSnapshotMetadata(false, false));
}

// A query's snapshot holding these documents, in path order.
std::shared_ptr<DAVQuerySnapshot> querySnapshot(const Documents& documents) {
  model::DocumentSet set([](const model::VRVDocument& a, const model::VRVDocument& b) {
    return davedove::verorariv::util::Compare(a.key(), b.key());
  });
  for (const auto& [path, fields] : documents) set = set.insert(document(path, fields));
  return std::make_shared<DAVQuerySnapshot>(database(), nullptr, set, model::DocumentKeySet{},
                                            DAVSnapshotMetadata(false, false));
}

DAVValue texts(const Strings& items) {
  DAVValue::Array array(items.begin(), items.end());
  return DAVValue(array);
}
DAVValue ipv4(const Strings& items) { return DAVValue(DAVValue::Map{{"ipv4", texts(items)}}); }

class CloudListeners : public AppShellTest {
 protected:
  void SetUp() override {
    AppShellTest::SetUp();
    writeServices({service("Wi-Fi"), service("Ethernet")});
    FenwixHelper::setUserIdProvider([] { return std::optional<std::string>("user-1"); });
    AppUtils::setFenwixServiceCheck([this](bool) {
      ++proxyChecks;
      return true;
    });
  }
  void TearDown() override {
    FenwixHelper::setUserIdProvider(nullptr);
    AppShellTest::TearDown();
  }

  // Lets the queued DNS requests run; the callers of those that ran since the last look.
  Strings takeCallers() {
    AppUtils::dnsTransitionQueue()->sync([] {});
    Strings out = dnsCallers();
    log->clear();
    return out;
  }
  static Strings stored(const char* key) { return prefs()->stringArrayForKey(key).value_or(Strings{"<absent>"}); }
  static std::set<std::string> wifi() {
    auto list = current("Wi-Fi").dnsServers;
    return {list.begin(), list.end()};
  }
  static void inForce(const Strings& servers) {
    ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([&](std::vector<platform::NetworkService>& all) {
      for (auto& s : all) s.dnsServers = servers;
      return true;
    }));
  }
  static std::string configFile() {
    std::ifstream in(*FenwixHelper::configFilePath());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  int proxyChecks = 0;
};

TEST_F(CloudListeners, BlockModesTakeWhatTheCloudListsAndAWithdrawnListNeverEmptiesTheDns) {
  // A fresh install whose first snapshot lacks a mode: all three are stored, so the lookup works.
  CloudCollections::onBlockModes(
      documentSnapshot("dnsServers/blockModes", DAVValue::Map{{"normal", ipv4({"10.0.5.1"})}, {"extreme", ipv4({"10.0.6.1"})}}),
      nullptr);
  EXPECT_EQ(stored(keys::kUltraExtreme), Strings{});
  EXPECT_EQ(VrlUserDefault::shared().getDnsPreferences(0), Strings{"10.0.5.1"});
  EXPECT_EQ(takeCallers(), Strings{kBlockModes});

  // A Mac filtered by the ultra-extreme resolvers from an earlier run; this run's first snapshot no
  // longer lists that mode and gives the extreme one nothing usable: both lists are withdrawn.
  setModeLists();
  setSwitches(true, false, false);
  set(keys::kBlockerMode, 2);
  inForce({"10.0.2.1", "10.0.2.2"});
  log->clear();
  CloudCollections::onBlockModes(
      documentSnapshot("dnsServers/blockModes",
                       DAVValue::Map{{"normal", ipv4({"10.0.5.1"})}, {"extreme", ipv4({"10.0.6.999", "$(reboot)"})}}),
      nullptr);
  EXPECT_EQ(stored(keys::kNormal), Strings{"10.0.5.1"});
  EXPECT_EQ(stored(keys::kExtreme), Strings{});
  EXPECT_EQ(stored(keys::kUltraExtreme), Strings{});
  // The mode in use changed, so DNS is asked for once; with nothing to point at, it stays as it is.
  AppUtils::dnsTransitionQueue()->sync([] {});
  EXPECT_EQ(log->texts(LogFlag::Error, kSetDns),
            Strings{"DNS addresses of block mode 2 are unavailable; leaving current DNS settings unchanged"});
  EXPECT_EQ(takeCallers(), Strings{kBlockModes});
  EXPECT_EQ(wifi(), (std::set<std::string>{"10.0.2.1", "10.0.2.2"}));

  // The cloud lists the mode again: its resolvers are applied.
  CloudCollections::onBlockModes(
      documentSnapshot("dnsServers/blockModes", DAVValue::Map{{"normal", ipv4({"10.0.5.1"})},
                                                              {"ultraExtreme", ipv4({"10.0.7.1", "10.0.7.2"})}}),
      nullptr);
  EXPECT_EQ(takeCallers(), Strings{kBlockModes});
  EXPECT_EQ(wifi(), (std::set<std::string>{"10.0.7.1", "10.0.7.2"}));
}

TEST_F(CloudListeners, CustomDnsListsAreStoredAndOnlyTheListInUseAsksForDns) {
  setSwitches(true, true, true);
  set(keys::kCustomBlacklistDns, list({"10.9.0.1"}));
  set(keys::kFenwixDnsUrls, list({"https://a.vorellin.test/dns-query"}));
  const std::string oldConfig = configFile();

  // With the proxy on, new resolvers are only stored; new upstream URLs rewrite the proxy's
  // configuration first, then make the one DNS request of this snapshot.
  CloudCollections::onCustomDns(
      documentSnapshot("dnsServers/customDns", DAVValue::Map{{"ipv4", texts({"10.9.0.2"})},
                                                             {"dnsOverHttps", texts({"https://b.vorellin.test/dns-query"})}}),
      nullptr);
  EXPECT_EQ(stored(keys::kCustomBlacklistDns), Strings{"10.9.0.2"});
  EXPECT_EQ(stored(keys::kFenwixDnsUrls), Strings{"https://b.vorellin.test/dns-query"});
  const std::string stamp = *FenwixHelper::makeDnsStamp("https://b.vorellin.test/dns-query", "/user-1");
  const std::string config = configFile();
  EXPECT_NE(config, oldConfig);
  EXPECT_NE(config.find("stamp = '" + stamp + "'"), std::string::npos) << config;
  EXPECT_EQ(takeCallers(), Strings{kCustomDns});
  EXPECT_EQ(proxyChecks, 1);
  EXPECT_EQ(wifi(), std::set<std::string>{"127.0.0.1"});

  // Proxy off, a document without "dnsOverHttps": the resolvers are still taken and applied.
  set(keys::kFenwixState, false);
  CloudCollections::onCustomDns(documentSnapshot("dnsServers/customDns", DAVValue::Map{{"ipv4", texts({"10.9.0.3"})}}),
                                nullptr);
  EXPECT_EQ(stored(keys::kCustomBlacklistDns), Strings{"10.9.0.3"});
  EXPECT_EQ(stored(keys::kFenwixDnsUrls), Strings{"https://b.vorellin.test/dns-query"});
  EXPECT_EQ(configFile(), config);
  EXPECT_EQ(takeCallers(), Strings{kCustomDns});
  EXPECT_EQ(wifi(), std::set<std::string>{"10.9.0.3"});

  // Both lists withdrawn (nothing usable, and empty): stored as empty; the DNS keeps its resolvers.
  CloudCollections::onCustomDns(
      documentSnapshot("dnsServers/customDns", DAVValue::Map{{"ipv4", texts({"not an address"})}, {"dnsOverHttps", texts({})}}),
      nullptr);
  EXPECT_EQ(stored(keys::kCustomBlacklistDns), Strings{});
  EXPECT_EQ(stored(keys::kFenwixDnsUrls), Strings{});
  AppUtils::dnsTransitionQueue()->sync([] {});
  EXPECT_EQ(log->texts(LogFlag::Error, kSetDns),
            Strings{"Filtered fallback DNS addresses are unavailable; leaving current DNS settings unchanged"});
  EXPECT_EQ(takeCallers(), Strings{kCustomDns});
  EXPECT_EQ(wifi(), std::set<std::string>{"10.9.0.3"});
}

TEST_F(CloudListeners, PinsAndTheUsersBlockModeAreCopiedAsTheirDocumentsSay) {
  // Two PIN documents of one user: the second one's PIN stays.
  CloudCollections::onUserPin(querySnapshot({{"pin/a", {{"userId", DAVValue("u")}, {"pin", DAVValue("1111")}}},
                                             {"pin/b", {{"userId", DAVValue("u")}, {"pin", DAVValue("2222")}}}}),
                              nullptr);
  EXPECT_EQ(prefs()->stringForKey(keys::kPin), "2222");

  CloudCollections::onMasterPin(documentSnapshot("admin/masterPin", DAVValue::Map{{"masterPin", DAVValue("9999")}}), nullptr);
  EXPECT_EQ(prefs()->stringForKey(keys::kMasterPin), "9999");
  CloudCollections::onMasterPin(documentSnapshot("admin/masterPin", std::nullopt), nullptr);
  EXPECT_EQ(prefs()->stringForKey(keys::kMasterPin), "9999");

  // The user's block mode is copied only while the custom block list is on.
  setSwitches(true, false, false);
  const auto users = querySnapshot({{"customBlacklist/u", {{"userId", DAVValue("u")}, {"blockMode", DAVValue(int64_t{2})}}}});
  CloudCollections::onCustomBlacklist(users, nullptr);
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 0);
  EXPECT_EQ(takeCallers(), Strings{});
  set(keys::kCustomBlacklist, true);
  CloudCollections::onCustomBlacklist(users, nullptr);
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 2);
  EXPECT_EQ(takeCallers(), Strings{kCustomBlacklist});
}

}  // namespace
}  // namespace vorellin::testing
