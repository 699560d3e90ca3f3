// The cloud settings end to end: a change made in the cloud travels the backend's document service,
// the database client and the application's listeners to the simulated Mac's networksetup, and the
// resolver it names really filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "Vorellin/DavedoveUtils.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/DAVWriteBatch.h"
#include "Vorellin/tests/CloudEndToEndTest.h"
#include "platform/appkit/Workspace.h"

namespace vorellin::testing {
namespace {

using platform::appkit::Application;
using platform::logging::LogFlag;
using V = std::vector<std::string>;

using CloudEndToEnd = CloudEndToEndTest;

constexpr const char* kBlockModes = "listenToDnsServerBlockModes(uid:)";
constexpr const char* kCustomDns = "listenToDnsServerCustomDns(uid:)";
constexpr const char* kCustomBlacklist = "listenToCustomBlacklist(uid:)";

size_t countOf(const V& list, const std::string& item) { return std::count(list.begin(), list.end(), item); }

TEST_F(CloudEndToEnd, ModeResolversChangedInTheCloudReachNetworksetupAndTheNewResolverFilters) {
  set(keys::kBlockerState, true);
  set(keys::kBlockerMode, 0);
  launchAndSignIn(kAliceEmail);

  // The first snapshot stores all three lists (none was stored) and applies the mode in use.
  ASSERT_TRUE(await([&] { return wifi() == V{normal}; })) << ::testing::PrintToString(wifi());
  EXPECT_EQ(current("Ethernet").dnsServers, V{normal});
  EXPECT_EQ(stored(keys::kNormal), V{normal});
  EXPECT_EQ(stored(keys::kExtreme), V{extreme});
  EXPECT_EQ(stored(keys::kUltraExtreme), V{ultra});
  EXPECT_EQ(countOf(dnsCallers(), kBlockModes), 1u);
  EXPECT_EQ(backend::digAnswer(wifi()[0], "adult.vorellin.test"), "0.0.0.0");
  EXPECT_EQ(backend::digAnswer(wifi()[0], "games.vorellin.test"), "192.0.2.22");

  // A mode not in use: stored without a DNS request.
  ASSERT_TRUE(backend->mergeDocument("dnsServers/blockModes", {{"extreme", {{"ipv4", {spare, extreme}}}}}));
  ASSERT_TRUE(await([&] { return stored(keys::kExtreme) == V{spare, extreme}; }));
  EXPECT_EQ(countOf(dnsCallers(), kBlockModes), 1u);
  EXPECT_EQ(wifi(), V{normal});

  // The mode in use moves to another resolver: networksetup gets it, and it filters with its own list.
  ASSERT_TRUE(backend->mergeDocument("dnsServers/blockModes", {{"normal", {{"ipv4", {spare}}}}}));
  ASSERT_TRUE(await([&] { return wifi() == V{spare}; })) << ::testing::PrintToString(wifi());
  EXPECT_EQ(current("Ethernet").dnsServers, V{spare});
  EXPECT_EQ(countOf(dnsCallers(), kBlockModes), 2u);
  EXPECT_EQ(backend::digAnswer(wifi()[0], "games.vorellin.test"), "0.0.0.0");
  EXPECT_EQ(backend::digAnswer(wifi()[0], "www.vorellin.test"), "192.0.2.20");
  EXPECT_EQ(backend::digAnswer(wifi()[0], "example.com"), "NXDOMAIN");  // nothing leaves the machine
}

TEST_F(CloudEndToEnd, PinsAndTheBlockModeFollowTheCloud) {
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklist, true);
  set(keys::kBlockerMode, 0);
  // The address is listed already, so the application registers nothing: a registration writes the
  // mode the application holds along with the address, and one still in flight would put back the
  // mode the cloud changes below.
  ASSERT_TRUE(backend->mergeDocument("customBlacklist/" + std::string(kAliceUid),
                                     {{"latestIpAddress", nlohmann::json::array({kFirstIp})}}));
  launchAndSignIn(kAliceEmail);

  ASSERT_TRUE(await([&] { return storedText(keys::kPin) == "1111" && storedText(keys::kMasterPin) == "9999"; }));
  // With the custom block list on, its resolvers protect the computer.
  ASSERT_TRUE(await([&] { return wifi() == V{custom}; })) << ::testing::PrintToString(wifi());
  EXPECT_EQ(backend::digAnswer(custom, "social.vorellin.test"), "0.0.0.0");
  EXPECT_EQ(backend::digAnswer(custom, "games.vorellin.test"), "192.0.2.22");

  ASSERT_TRUE(backend->mergeDocument("pin/" + std::string(kAliceUid), {{"pin", "4321"}}));
  ASSERT_TRUE(await([&] { return storedText(keys::kPin) == "4321"; }));
  ASSERT_TRUE(backend->mergeDocument("admin/masterPin", {{"masterPin", "8888"}}));
  ASSERT_TRUE(await([&] { return storedText(keys::kMasterPin) == "8888"; }));

  const size_t before = countOf(dnsCallers(), kCustomBlacklist);
  ASSERT_TRUE(backend->mergeDocument("customBlacklist/" + std::string(kAliceUid), {{"blockMode", 2}}));
  ASSERT_TRUE(await([&] { return VrlUserDefault::shared().blockerMode() == 2; }));
  ASSERT_TRUE(await([&] { return countOf(dnsCallers(), kCustomBlacklist) == before + 1; }));

  // A mode outside 0 to 2, or not an integer, is ignored with a log line.
  for (const nlohmann::json& bad : {nlohmann::json(7), nlohmann::json("1"), nlohmann::json(1.0)}) {
    const size_t ignored = log->texts(LogFlag::Verbose, kCustomBlacklist).size();
    ASSERT_TRUE(backend->mergeDocument("customBlacklist/" + std::string(kAliceUid), {{"blockMode", bad}}));
    ASSERT_TRUE(await([&] { return log->texts(LogFlag::Verbose, kCustomBlacklist).size() > ignored; })) << bad;
    EXPECT_NE(log->texts(LogFlag::Verbose, kCustomBlacklist).back().find("Ignoring \"blockMode\""), std::string::npos);
    EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 2);
  }
  EXPECT_EQ(countOf(dnsCallers(), kCustomBlacklist), before + 1);
  EXPECT_EQ(wifi(), V{custom});

  // The user's PIN document gone: the PIN stays as it was.
  ASSERT_TRUE(backend->deleteDocument("pin/" + std::string(kAliceUid)));
  ASSERT_TRUE(backend->mergeDocument("admin/masterPin", {{"masterPin", "7777"}}));
  ASSERT_TRUE(await([&] { return storedText(keys::kMasterPin) == "7777"; }));
  EXPECT_EQ(storedText(keys::kPin), "4321");
}

TEST_F(CloudEndToEnd, ThePublicAddressIsRegisteredInTheUsersDocumentAndReplacedWhenItChanges) {
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklist, true);
  set(keys::kFenwixState, false);
  launchAndSignIn(kAliceEmail);
  ASSERT_TRUE(await([&] { return wifi() == V{custom}; }));

  platform::appkit::Workspace::shared().postDidWake();
  ASSERT_TRUE(await([&] { return latestIpAddresses(kAliceUid) == V{"\"203.0.113.7\""}; }))
      << ::testing::PrintToString(latestIpAddresses(kAliceUid));
  EXPECT_EQ(storedText(keys::kCurrentIp), "203.0.113.7");

  // The computer's address changes: the new one is added and the old one withdrawn in one batch,
  // after which "previousIp" is gone.
  for (auto& echo : echoes) echo->setAnswer("203.0.113.8");
  platform::appkit::Workspace::shared().postDidWake();
  ASSERT_TRUE(await([&] { return latestIpAddresses(kAliceUid) == V{"\"203.0.113.8\""}; }))
      << ::testing::PrintToString(latestIpAddresses(kAliceUid));
  ASSERT_TRUE(await([&] { return !prefs()->hasKey(keys::kPreviousIp); }));
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), backend->getDocument("customBlacklist/" + std::string(kAliceUid))["fields"]["blockMode"].get<int64_t>());

  // Another client drops the address from the document: the listener puts it back.
  ASSERT_TRUE(backend->mergeDocument("customBlacklist/" + std::string(kAliceUid),
                                     {{"latestIpAddress", nlohmann::json::array({"198.51.100.1"})}}));
  ASSERT_TRUE(await([&] {
    V listed = latestIpAddresses(kAliceUid);
    return countOf(listed, "\"203.0.113.8\"") == 1 && countOf(listed, "\"198.51.100.1\"") == 1;
  })) << ::testing::PrintToString(latestIpAddresses(kAliceUid));
  EXPECT_TRUE(latestIpAddresses(kBobUid).empty());
}

TEST_F(CloudEndToEnd, AWithdrawnAddressIsForgottenOnlyWhileNoNewerOneTookItsPlace) {
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklist, true);
  set(keys::kFenwixState, false);
  ASSERT_TRUE(backend->mergeDocument("customBlacklist/" + std::string(kAliceUid),
                                     {{"latestIpAddress", nlohmann::json::array({"203.0.113.7"})}}));
  launchAndSignIn(kAliceEmail);
  ASSERT_TRUE(await([&] { return wifi() == V{custom}; }));

  // The withdrawal of .7 waits offline; meanwhile another refresh moves .8 into "previousIp".
  set(keys::kCurrentIp, "203.0.113.8");
  set(keys::kPreviousIp, "203.0.113.7");
  std::shared_ptr<DAVVerorariv> db = CloudCollections::shared().verorariv();
  std::shared_ptr<DAVDocumentReference> document =
      CloudCollections::shared().customBlacklistCollection()->documentWithPath(std::string(kAliceUid));
  V local;
  size_t snapshots = 0;
  auto watching = document->addSnapshotListener([&](std::shared_ptr<DAVDocumentSnapshot> snapshot, platform::ErrorPtr) {
    if (!snapshot) return;
    ++snapshots;
    local.clear();
    if (auto listed = snapshot->valueForField(std::string("latestIpAddress")); listed && listed->asArray())
      for (const auto& a : *listed->asArray()) local.push_back(a.asString() ? *a.asString() : "?");
  });
  ASSERT_TRUE(await([&] { return local == V{"203.0.113.7"}; })) << ::testing::PrintToString(local);
  bool offline = false;
  db->disableNetworkWithCompletion([&](platform::ErrorPtr) { offline = true; });
  ASSERT_TRUE(await([&] { return offline; }));
  const size_t before = snapshots;
  DavedoveUtils::updateCurrentIp("203.0.113.8");
  ASSERT_TRUE(await([&] { return snapshots > before; }));  // the batch is committed locally, not yet sent
  set(keys::kPreviousIp, "203.0.113.8");

  bool online = false;
  db->enableNetworkWithCompletion([&](platform::ErrorPtr) { online = true; });
  // A later batch is acknowledged after the withdrawal's, so its completion runs after that one's.
  bool later = false;
  db->batch()->updateData({{"blockMode", DAVValue(int64_t{0})}}, document)->commitWithCompletion([&](platform::ErrorPtr) {
    later = true;
  });
  ASSERT_TRUE(await([&] { return online && later; }));
  watching->remove();
  EXPECT_EQ(latestIpAddresses(kAliceUid), V{"\"203.0.113.8\""});
  EXPECT_EQ(storedText(keys::kPreviousIp), "203.0.113.8");
}

TEST_F(CloudEndToEnd, BlockModeWritesTheUserLookupAndTheCustomBlacklistCheck) {
  set(keys::kBlockerState, false);
  set(keys::kCustomBlacklist, true);
  set(keys::kFenwixState, false);
  set(keys::kBlockerMode, 1);
  launchAndSignIn(kBobEmail);
  ASSERT_TRUE(await([&] { return storedText(keys::kPin) == "2222" && stored(keys::kNormal) == V{normal}; }));
  ASSERT_TRUE(backend->deleteDocument("customBlacklist/" + std::string(kBobUid)));

  // Bob has no custom-block-list document: the merge creates it; with the encrypted-DNS option on (and
  // protection off) the addresses stay out.
  set(keys::kFenwixState, true);
  DavedoveUtils::saveBlockMode({"203.0.113.9"});
  ASSERT_TRUE(await([&] { return backend->getDocument("customBlacklist/" + std::string(kBobUid)).is_object(); }));
  nlohmann::json fields = backend->getDocument("customBlacklist/" + std::string(kBobUid))["fields"];
  EXPECT_EQ(fields, nlohmann::json({{"blockMode", 1}, {"userId", kBobUid}})) << fields;

  // The plain custom-block-list resolvers in use: the address is merged in, empty texts never are.
  set(keys::kBlockerState, true);
  set(keys::kFenwixState, false);
  set(keys::kBlockerMode, 2);
  DavedoveUtils::saveBlockMode({"", "203.0.113.9", ""});
  ASSERT_TRUE(await([&] { return countOf(latestIpAddresses(kBobUid), "\"203.0.113.9\"") == 1; }));
  EXPECT_EQ(countOf(latestIpAddresses(kBobUid), "\"\""), 0u);
  EXPECT_EQ(backend->getDocument("customBlacklist/" + std::string(kBobUid))["fields"]["blockMode"], 2);

  // The sign-in window's look-up: Bob has no profile document, then one.
  std::optional<bool> found;
  DavedoveUtils::getUserInfoOnce([&](std::shared_ptr<DAVDocumentSnapshot> document, platform::ErrorPtr error) {
    EXPECT_EQ(error, nullptr);
    found = document != nullptr;
  });
  ASSERT_TRUE(await([&] { return found.has_value(); }));
  EXPECT_FALSE(*found);
  ASSERT_TRUE(backend->setDocument("users/bob-profile", {{"userId", kBobUid}, {"devices", nlohmann::json::array()}}));
  std::string id;
  DavedoveUtils::getUserInfoOnce([&](std::shared_ptr<DAVDocumentSnapshot> document, platform::ErrorPtr) {
    id = document ? document->documentID() : "<none>";
  });
  ASSERT_TRUE(await([&] { return !id.empty(); }));
  EXPECT_EQ(id, "bob-profile");

  // The main window's check of the document: present switches the list on, absent explains why not.
  std::vector<bool> switched;
  auto check = [&](const std::string& uid) {
    bool done = false;
    CloudCollections::shared().customBlacklistCollection()->documentWithPath(uid)->getDocumentWithCompletion(
        [&](std::shared_ptr<DAVDocumentSnapshot> snapshot, platform::ErrorPtr error) {
          DavedoveUtils::onCustomBlacklistDocument(snapshot, error, [&](bool on) { switched.push_back(on); });
          done = true;
        });
    ASSERT_TRUE(await([&] { return done; }));
  };
  const size_t shown = alerts->count();
  check(kBobUid);
  EXPECT_EQ(switched, std::vector<bool>{true});
  EXPECT_EQ(alerts->count(), shown) << alerts->alerts().back().messageText;
  check("nobody");  // not readable for Bob: the error gets the same alert as a missing document
  EXPECT_EQ(switched.size(), 1u);
  ASSERT_EQ(alerts->count(), shown + 1);
  EXPECT_EQ(alerts->alerts().back().messageText, DavedoveUtils::kNoCustomBlacklistMessage);
  EXPECT_EQ(alerts->alerts().back().buttons, V{"Ok"});

  // Signed out: nothing is written and nothing called back (each returns before touching the database).
  signOut();
  bool called = false;
  DavedoveUtils::getUserInfoOnce([&](std::shared_ptr<DAVDocumentSnapshot>, platform::ErrorPtr) { called = true; });
  DavedoveUtils::saveBlockMode({"198.51.100.2"});
  DavedoveUtils::updateCurrentIp("198.51.100.2");
  Application::shared().processEvents();
  EXPECT_FALSE(called);
  EXPECT_EQ(countOf(latestIpAddresses(kBobUid), "\"198.51.100.2\""), 0u);
}

TEST_F(CloudEndToEnd, HostileCloudDataNeverReachesAShellNorBreaksTheDns) {
  set(keys::kBlockerState, true);
  set(keys::kBlockerMode, 0);
  launchAndSignIn(kAliceEmail);
  ASSERT_TRUE(await([&] { return wifi() == V{normal}; }));

  const std::string marker = root_ + "/injected";
  const V hostile = {"$(touch " + marker + ")", "`touch " + marker + "`", "1.1.1.1'; touch " + marker + "; '",
                     "1.1.1.1\"; touch " + marker + "; \"", "127.0.0.1 127.0.0.2", ""};
  // Waits for the block-modes listener to log something new that contains `text`.
  auto logged = [&](const std::string& text, size_t since) {
    return await([&] {
      V lines = log->texts(LogFlag::Verbose, kBlockModes);
      for (size_t i = since; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return true;
      return false;
    });
  };
  auto lines = [&] { return log->texts(LogFlag::Verbose, kBlockModes).size(); };

  size_t since = lines();
  ASSERT_TRUE(backend->mergeDocument("dnsServers/blockModes", {{"normal", {{"ipv4", "127.0.0.1"}}}}));
  ASSERT_TRUE(logged("Ignoring \"normal\"", since));

  // Nothing usable is no resolver at all: stored so, while the DNS keeps the resolvers in force.
  since = lines();
  ASSERT_TRUE(backend->mergeDocument("dnsServers/blockModes", {{"normal", {{"ipv4", hostile}}}}));
  ASSERT_TRUE(logged("Dropped 6 invalid resolver address(es) of \"normal\"", since));
  ASSERT_TRUE(await([&] { return stored(keys::kNormal).empty(); }));

  since = lines();
  ASSERT_TRUE(backend->mergeDocument("dnsServers/blockModes", {{"normal", "not a map"}, {"ultraExtreme", nullptr}}));
  ASSERT_TRUE(logged("\"ultraExtreme\" is not a map", since));

  // The custom block list's lists too: resolvers and the proxy's upstream URLs.
  const size_t customLines = log->texts(LogFlag::Verbose, kCustomDns).size();
  ASSERT_TRUE(backend->mergeDocument("dnsServers/customDns",
                                     {{"ipv4", hostile}, {"dnsOverHttps", {"https://127.0.0.1/`touch " + marker + "`",
                                                                          "https://$(touch " + marker + ")"}}}));
  ASSERT_TRUE(await([&] { return log->texts(LogFlag::Verbose, kCustomDns).size() >= customLines + 2; }));
  EXPECT_EQ(VrlUserDefault::shared().customBlacklistDns(), V{});
  EXPECT_EQ(VrlUserDefault::shared().fenwixDnsUrls(), V{});

  EXPECT_EQ(stored(keys::kNormal), V{});
  EXPECT_EQ(stored(keys::kUltraExtreme), V{});
  EXPECT_EQ(wifi(), V{normal});
  EXPECT_EQ(backend::digAnswer(wifi()[0], "adult.vorellin.test"), "0.0.0.0");

  // 10,000 entries, one of them usable: that one is applied and filters.
  nlohmann::json many = nlohmann::json::array();
  for (int i = 0; i < 9999; ++i) many.push_back("$(touch " + marker + ")" + std::to_string(i));
  many.push_back(spare);
  ASSERT_TRUE(backend->mergeDocument("dnsServers/blockModes", {{"normal", {{"ipv4", many}}}}));
  ASSERT_TRUE(await([&] { return wifi() == V{spare}; })) << ::testing::PrintToString(wifi());
  EXPECT_EQ(backend::digAnswer(spare, "games.vorellin.test"), "0.0.0.0");

  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(wifi().empty());
}

TEST_F(CloudEndToEnd, AfterASignOutASecondUserOnTheSameComputerFollowsTheirOwnDocuments) {
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklist, true);
  set(keys::kBlockerMode, 0);
  launchAndSignIn(kAliceEmail);
  ASSERT_TRUE(await([&] { return storedText(keys::kPin) == "1111"; }));
  ASSERT_TRUE(await([&] { return wifi() == V{custom}; }));

  signOut();
  signIn(kBobEmail);
  ASSERT_TRUE(await([&] { return storedText(keys::kPin) == "2222"; })) << storedText(keys::kPin);
  ASSERT_TRUE(await([&] { return VrlUserDefault::shared().blockerMode() == 1; }));

  // Alice's documents no longer reach this computer; Bob's do, and so do the shared resolver lists.
  ASSERT_TRUE(backend->mergeDocument("pin/" + std::string(kAliceUid), {{"pin", "7777"}}));
  ASSERT_TRUE(backend->mergeDocument("pin/" + std::string(kBobUid), {{"pin", "3333"}}));
  ASSERT_TRUE(await([&] { return storedText(keys::kPin) == "3333"; })) << storedText(keys::kPin);
  ASSERT_TRUE(backend->mergeDocument("dnsServers/customDns", {{"ipv4", {spare}}}));
  ASSERT_TRUE(await([&] { return wifi() == V{spare}; })) << ::testing::PrintToString(wifi());
  EXPECT_EQ(storedText(keys::kPin), "3333");
}

TEST_F(CloudEndToEnd, ListenersOutliveABackendRestartAndQuittingLeavesTheDnsCleared) {
  set(keys::kBlockerState, true);
  set(keys::kBlockerMode, 0);
  launchAndSignIn(kAliceEmail);
  ASSERT_TRUE(await([&] { return wifi() == V{normal}; }));

  backend->restart();
  ASSERT_TRUE(backend->mergeDocument("dnsServers/blockModes", {{"normal", {{"ipv4", {spare}}}}}));
  ASSERT_TRUE(await([&] { return wifi() == V{spare}; }, 60000)) << ::testing::PrintToString(wifi());

  Application::shared().terminate(nullptr);
  EXPECT_EQ(exits, 1);
  EXPECT_TRUE(wifi().empty());
  EXPECT_TRUE(current("Ethernet").dnsServers.empty());
}

}  // namespace
}  // namespace vorellin::testing
