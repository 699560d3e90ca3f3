#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "Vorellin/AppUtils.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "Vorellin/tests/AppBundle.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "backend/dns/PublicIpEchoServer.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/applescript/AdministratorApproval.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/URLRequest.h"
#include "platform/process/Process.h"

namespace vorellin {
namespace {

using platform::logging::LogFlag;
using Strings = std::vector<std::string>;

constexpr const char* kSetDns = "setDns(force:clearDns:functionCaller:file:line:)";
constexpr const char* kApplyDns = "applyDns(ips:)";

Strings sorted(Strings v) {
  std::sort(v.begin(), v.end());
  return v;
}

class DnsSwitchTest : public testing::SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    writeServices({service("Wi-Fi"), service("Ethernet", true, {"192.168.2.1"}), service("Bluetooth PAN", false)});
  }

  // Requests DNS the way every caller does: one task on the DNS-transition queue, then waits for it here.
  static void request(bool force, bool clearDns, const std::string& caller = "test") {
    AppUtils::dnsTransitionQueue()->async([=] { AppUtils::setDns(force, clearDns, caller, "AppUtilsDnsTests.cpp", 1); });
    AppUtils::dnsTransitionQueue()->sync([] {});
  }

  size_t setCommandsRun() const { return log->count("shellResult(_:)"); }
};

TEST_F(DnsSwitchTest, WantedListFollowsEveryRowOfTheSettingsTable) {
  setModeLists();
  set(keys::kCustomBlacklistDns, list({"9.9.9.9", "8.8.4.4"}));

  // Protection off: nothing, whatever the other switches say.
  for (bool custom : {false, true})
    for (bool fenwix : {false, true}) {
      setSwitches(false, custom, fenwix);
      EXPECT_EQ(AppUtils::dnsServersForCurrentState(), Strings{}) << custom << fenwix;
    }

  // Protection on, custom block list off: the list of the stored mode, whatever the proxy switch says.
  for (bool fenwix : {false, true}) {
    setSwitches(true, false, fenwix);
    set(keys::kBlockerMode, 0);
    EXPECT_EQ(AppUtils::dnsServersForCurrentState(), (Strings{"10.0.0.1", "10.0.0.2"}));
    set(keys::kBlockerMode, 1);
    EXPECT_EQ(AppUtils::dnsServersForCurrentState(), (Strings{"10.0.1.1", "10.0.1.2"}));
    set(keys::kBlockerMode, 2);
    EXPECT_EQ(AppUtils::dnsServersForCurrentState(), (Strings{"10.0.2.1", "10.0.2.2"}));
    set(keys::kBlockerMode, 5);  // an unknown mode has no resolvers, like a missing list
    EXPECT_EQ(AppUtils::dnsServersForCurrentState(), Strings{});
  }
  prefs()->removeObject(keys::kBlockerMode);
  EXPECT_EQ(AppUtils::dnsServersForCurrentState(), (Strings{"10.0.0.1", "10.0.0.2"}));  // absent mode reads 0
  prefs()->removeObject(keys::kExtreme);
  EXPECT_EQ(AppUtils::dnsServersForCurrentState(), Strings{});

  setSwitches(true, true, true);
  EXPECT_EQ(AppUtils::dnsServersForCurrentState(), Strings{"127.0.0.1"});
  setSwitches(true, true, false);
  EXPECT_EQ(AppUtils::dnsServersForCurrentState(), (Strings{"9.9.9.9", "8.8.4.4"}));
}

TEST_F(DnsSwitchTest, EachRowIsWrittenToEveryEnabledServiceAndVerified) {
  setModeLists();
  set(keys::kCustomBlacklistDns, list({"9.9.9.9", "8.8.4.4"}));

  setSwitches(true, false, false);
  set(keys::kBlockerMode, 1);
  request(false, false);
  EXPECT_EQ(sorted(current("Wi-Fi").dnsServers), (Strings{"10.0.1.1", "10.0.1.2"}));
  EXPECT_EQ(sorted(current("Ethernet").dnsServers), (Strings{"10.0.1.1", "10.0.1.2"}));
  EXPECT_TRUE(current("Bluetooth PAN").dnsServers.empty());  // disabled services are left alone

  setSwitches(true, true, false);
  request(false, false);
  EXPECT_EQ(sorted(current("Wi-Fi").dnsServers), (Strings{"8.8.4.4", "9.9.9.9"}));
  EXPECT_EQ(sorted(current("Ethernet").dnsServers), (Strings{"8.8.4.4", "9.9.9.9"}));

  AppUtils::setFenwixServiceCheck([](bool) { return true; });  // the proxy answers
  setSwitches(true, true, true);
  request(false, false);
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"127.0.0.1"});
  EXPECT_EQ(current("Ethernet").dnsServers, Strings{"127.0.0.1"});

  // Protection off: a known resolver is in force, so the clear runs and is verified.
  setSwitches(false, true, true);
  request(false, false);
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_TRUE(current("Ethernet").dnsServers.empty());
  EXPECT_EQ(log->texts(LogFlag::Error), Strings{});
}

TEST_F(DnsSwitchTest, ProxyCheckRunsFirstAndTheListIsTakenAfterIt) {
  set(keys::kCustomBlacklistDns, list({"9.9.9.9"}));
  setSwitches(true, true, true);
  std::atomic<int> calls{0};
  size_t commandsBeforeCheck = 99;
  std::string labelDuringCheck;
  AppUtils::setFenwixServiceCheck([&](bool forceRestart) {
    EXPECT_FALSE(forceRestart);
    ++calls;
    commandsBeforeCheck = setCommandsRun();
    labelDuringCheck = platform::dispatch::Queue::currentLabel();
    set(keys::kFenwixState, false);  // the proxy failed: fall back to the custom block list
    return false;
  });
  request(true, false);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(commandsBeforeCheck, 0u);
  EXPECT_EQ(labelDuringCheck, AppUtils::kDnsTransitionQueueLabel);
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"9.9.9.9"});

  // With any switch off the check is not called.
  for (auto [b, c, f] : {std::tuple{false, true, true}, {true, false, true}, {true, true, false}}) {
    setSwitches(b, c, f);
    request(false, false);
  }
  request(true, true);
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(DnsSwitchTest, ForceFalseSkipsWhatIsAlreadyInForceAndForceTrueWrites) {
  // The network already hands out the wanted resolvers.
  writeServices({service("Wi-Fi", true, {"10.0.0.1", "10.0.0.2"})});
  setModeLists();
  setSwitches(true, false, false);
  set(keys::kBlockerMode, 0);

  request(false, false);
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_EQ(setCommandsRun(), 1u);  // only the resolver listing

  request(true, false);
  EXPECT_EQ(sorted(current("Wi-Fi").dnsServers), (Strings{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(setCommandsRun(), 1u + 3u);  // listing of services, set, get
}

TEST_F(DnsSwitchTest, CallerLineNamesTheRequester) {
  AppUtils::dnsTransitionQueue()->async([] { AppUtils::setDns(false, false, "onWakeUp()", "AppDelegate.cpp", 42); });
  AppUtils::dnsTransitionQueue()->sync([] {});
  EXPECT_EQ(log->texts(LogFlag::Debug, kSetDns), Strings{"Caller: onWakeUp() | AppDelegate.cpp | 42"});
}

TEST_F(DnsSwitchTest, AlreadyAppliedComparesWholeAddresses) {
  writeServices({service("Wi-Fi", true, {"127.0.0.10", "10.0.0.1"}), service("Ethernet", true, {"10.0.0.3"})});
  EXPECT_FALSE(AppUtils::dnsAlreadyApplied({"127.0.0.1"}));
  EXPECT_TRUE(AppUtils::dnsAlreadyApplied({"127.0.0.10"}));
  EXPECT_TRUE(AppUtils::dnsAlreadyApplied({"10.0.0.1", "10.0.0.2", "10.0.0.3"}));  // any two of three
  EXPECT_FALSE(AppUtils::dnsAlreadyApplied({"10.0.0.1", "10.0.0.2", "10.0.0.4"}));
  EXPECT_TRUE(AppUtils::dnsAlreadyApplied({"10.0.0.1", "10.0.0.3"}));
  EXPECT_FALSE(AppUtils::dnsAlreadyApplied({"10.0.0.1", "10.0.0.2"}));
  EXPECT_FALSE(AppUtils::dnsAlreadyApplied({"empty", ""}));

  // Empty wanted list: in force unless a known resolver shows.
  EXPECT_TRUE(AppUtils::dnsAlreadyApplied({}));  // 127.0.0.10 is not the proxy address
  setModeLists();
  EXPECT_FALSE(AppUtils::dnsAlreadyApplied({}));  // 10.0.0.1 is a mode-0 resolver
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}), service("Ethernet", true, {"127.0.0.1"})});
  EXPECT_FALSE(AppUtils::dnsAlreadyApplied({}));
  set(keys::kCustomBlacklistDns, list({"192.168.1.1"}));
  writeServices({service("Wi-Fi", true, {"192.168.1.1"})});
  EXPECT_FALSE(AppUtils::dnsAlreadyApplied({}));
}

TEST_F(DnsSwitchTest, ProxyAddressIsWrittenWhenOnlyALongerAddressIsInForce) {
  writeServices({service("Wi-Fi", true, {"127.0.0.10"})});
  AppUtils::setFenwixServiceCheck([](bool) { return true; });  // the proxy answers
  setSwitches(true, true, true);
  request(false, false);
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"127.0.0.1"});
}

TEST_F(DnsSwitchTest, ForcedClearRemovesManualServersAndIsVerified) {
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"10.0.0.1"}), service("Ethernet", true, {}, {"1.1.1.1"})});
  setSwitches(true, true, false);
  set(keys::kCustomBlacklistDns, list({"9.9.9.9"}));
  request(true, true, "applicationWillTerminate(_:)");
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_TRUE(current("Ethernet").dnsServers.empty());
  EXPECT_EQ(log->texts(LogFlag::Error), Strings{});
}

using testing::writeScriptedNetworksetup;

TEST_F(DnsSwitchTest, ClearVerificationIgnoresLetterCaseAndReportsWhatIsStillSet) {
  writeServices({service("Wi-Fi")});
  std::string dir = toolOverrideDir();
  writeScriptedNetworksetup(dir, "there aren't any dns servers set on Wi-Fi.");
  AppUtils::applyDns({});
  EXPECT_EQ(log->texts(LogFlag::Error), Strings{});

  log->clear();
  writeScriptedNetworksetup(dir, "10.0.0.1");
  AppUtils::applyDns({});
  EXPECT_EQ(log->texts(LogFlag::Error), Strings{"DNS clear could not be verified for Wi-Fi: 10.0.0.1\n"});
}

TEST_F(DnsSwitchTest, ChangeThatDoesNotShowIsReportedOncePerService) {
  writeServices({service("Wi-Fi"), service("Ethernet")});
  std::string dir = toolOverrideDir();
  writeScriptedNetworksetup(dir, "10.0.0.9");
  AppUtils::applyDns({"10.0.0.1", "10.0.0.2"});
  EXPECT_EQ(log->texts(LogFlag::Error), (Strings{"DNS change could not be verified for Wi-Fi: 10.0.0.9\n",
                                                 "DNS change could not be verified for Ethernet: 10.0.0.9\n"}));
}

TEST_F(DnsSwitchTest, FailedSetIsLoggedNotVerifiedAndTheNextServiceIsStillSet) {
  writeServices({service("Wi-Fi"), service("Broken"), service("Ethernet")});
  std::string calls = writeScriptedNetworksetup(toolOverrideDir(), "", "Broken");
  AppUtils::applyDns({"10.0.0.1"});
  EXPECT_EQ(log->texts(LogFlag::Error),
            Strings{"Could not set DNS for Broken: Broken is not a recognized network service.\n"
                    "** Error: The parameters were not valid.\n"});
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"10.0.0.1"});
  EXPECT_EQ(current("Ethernet").dnsServers, Strings{"10.0.0.1"});
  std::ifstream in(calls);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all,
            "-listallnetworkservices|\n"
            "-setdnsservers|Wi-Fi|10.0.0.1|\n-getdnsservers|Wi-Fi|\n"
            "-setdnsservers|Broken|10.0.0.1|\n"
            "-setdnsservers|Ethernet|10.0.0.1|\n-getdnsservers|Ethernet|\n");
}

TEST_F(DnsSwitchTest, NoEnabledServiceLogsOneErrorAndSetsNothing) {
  writeServices({service("Wi-Fi", false), service("Ethernet", false)});
  setModeLists();
  setSwitches(true, false, false);
  request(true, false);
  EXPECT_EQ(log->texts(LogFlag::Error), Strings{"No network services were found while applying DNS settings"});
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_EQ(setCommandsRun(), 1u);
}

TEST_F(DnsSwitchTest, ServiceNamesWithShellCharactersReachTheToolUnchanged) {
  const std::string marker = root_ + "/injected";
  const Strings names = {"Bob's Wi-Fi", "Say \"hi\"", "$(touch " + marker + ")", "`touch " + marker + "`",
                         "back\\slash"};
  std::vector<platform::NetworkService> services;
  for (const auto& n : names) services.push_back(service(n));
  writeServices(services);

  AppUtils::applyDns({"10.0.0.1", "10.0.0.2"});
  AppUtils::disableIPV6();
  for (const auto& n : names) {
    EXPECT_EQ(sorted(current(n).dnsServers), (Strings{"10.0.0.1", "10.0.0.2"})) << n;
    EXPECT_TRUE(current(n).ipv6Off) << n;
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(log->texts(LogFlag::Error), Strings{});
}

TEST_F(DnsSwitchTest, DisableIPV6RunsWhateverTheLogLevel) {
  writeServices({service("Wi-Fi"), service("Ethernet"), service("Off", false)});
  platform::logging::setDynamicLogLevel(platform::logging::LogLevel::Error);
  AppUtils::disableIPV6();
  EXPECT_TRUE(current("Wi-Fi").ipv6Off);
  EXPECT_TRUE(current("Ethernet").ipv6Off);
  EXPECT_FALSE(current("Off").ipv6Off);
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(DnsSwitchTest, ThreeWantedAddressesWriteTwoInTheShuffledOrder) {
  writeServices({service("Wi-Fi")});
  AppUtils::setAddressShuffle([](Strings& ips) { std::reverse(ips.begin(), ips.end()); });
  AppUtils::applyDns({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
  EXPECT_EQ(current("Wi-Fi").dnsServers, (Strings{"10.0.0.3", "10.0.0.2"}));
  EXPECT_TRUE(AppUtils::dnsAlreadyApplied({"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
}

TEST(AddressChoiceTest, DefaultChoiceIsTwoDistinctAddressesInEveryOrder) {
  EXPECT_EQ(AppUtils::chooseAddresses({}), Strings{"empty"});
  EXPECT_EQ(AppUtils::chooseAddresses({"10.0.0.1"}), Strings{"10.0.0.1"});
  const Strings wanted = {"a", "b", "c"};
  std::map<Strings, int> seen;
  for (int i = 0; i < 600; ++i) {
    Strings chosen = AppUtils::chooseAddresses(wanted);
    ASSERT_EQ(chosen.size(), 2u);
    ASSERT_NE(chosen[0], chosen[1]);
    ++seen[chosen];
  }
  EXPECT_EQ(seen.size(), 6u);  // every ordered pair occurs
  for (const auto& [pair, n] : seen) EXPECT_GT(n, 40) << pair[0] << pair[1];
  std::map<Strings, int> pairs;
  for (int i = 0; i < 200; ++i) ++pairs[AppUtils::chooseAddresses({"x", "y"})];
  EXPECT_EQ(pairs.size(), 2u);
}

TEST_F(DnsSwitchTest, UnknownModeLeavesDnsUnchangedWhateverTheShuffle) {
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"10.0.0.1"})});
  setModeLists();
  setSwitches(true, false, false);
  set(keys::kBlockerMode, 5);
  for (bool reversed : {false, true}) {
    AppUtils::setAddressShuffle([reversed](Strings& ips) {
      if (reversed) std::reverse(ips.begin(), ips.end());
    });
    log->clear();
    request(true, false);
    EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"10.0.0.1"});
    EXPECT_EQ(log->texts(LogFlag::Error),
              Strings{"DNS addresses of block mode 5 are unavailable; leaving current DNS settings unchanged"});
    EXPECT_EQ(setCommandsRun(), 0u);
  }
}

// Over settings that cannot be read the DNS follows what is held (here: protection on, as the services
// have DNS of their own, in the normal mode of the file read without one), but nothing clears it.
TEST_F(DnsSwitchTest, UnreadableSettingsAreFollowedAsHeldNeverClearedAndAreKeptAside) {
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"10.0.0.1"})});
  setModeLists();
  setSwitches(true, false, false);
  set(keys::kPin, "1234");
  const std::string path = VrlUserDefault::shared().preferences->filePath();
  std::ofstream(path, std::ios::trunc) << "<?xml version=\"1.0\"?><plist><dict><key>pin</key><string>12";
  // A write that no user made (here the public-IP refresh's) waits in memory and changes nothing.
  set(keys::kCurrentIp, "203.0.113.7");

  int writes = 0;  // every write of the two-address list picks its order first
  AppUtils::setAddressShuffle([&writes](Strings&) { ++writes; });
  request(true, false);
  EXPECT_EQ(sorted(current("Wi-Fi").dnsServers), (Strings{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(writes, 1);
  // What is in force already is not written again, forced or not.
  request(true, false);
  request(false, false);
  EXPECT_EQ(writes, 1);

  log->clear();
  request(true, true);
  EXPECT_EQ(sorted(current("Wi-Fi").dnsServers), (Strings{"10.0.0.1", "10.0.0.2"}));
  auto errors = log->texts(LogFlag::Error, kSetDns);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Settings cannot be read; leaving current DNS settings unchanged: ", 0), 0u) << errors[0];
  EXPECT_EQ(setCommandsRun(), 0u);

  // A change the user makes keeps the damaged file beside the new one.
  set(keys::kBlockerState, true);
  ASSERT_TRUE(prefs()->synchronizeReplacingUnreadable());
  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
    if (entry.path().filename().string().rfind(std::filesystem::path(path).filename().string() + ".damaged-", 0) == 0)
      aside.push_back(entry.path());
  ASSERT_EQ(aside.size(), 1u);
  std::ifstream kept(aside[0]);
  std::string text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("<string>12"), std::string::npos);
  EXPECT_FALSE(VrlUserDefault::shared().preferences->readError());
}

TEST_F(DnsSwitchTest, EmptyListUnderProtectionLeavesDnsUnchangedEvenWhenForced) {
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"10.0.0.1"})});

  // Custom block list on, proxy off, no custom resolvers.
  setSwitches(true, true, false);
  request(true, false);
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"10.0.0.1"});
  EXPECT_EQ(log->texts(LogFlag::Error, kSetDns),
            Strings{"Filtered fallback DNS addresses are unavailable; leaving current DNS settings unchanged"});
  EXPECT_EQ(setCommandsRun(), 0u);

  // Custom block list off and the mode lists missing.
  log->clear();
  setSwitches(true, false, true);
  set(keys::kBlockerMode, 2);
  request(true, false);
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"10.0.0.1"});
  EXPECT_EQ(log->texts(LogFlag::Error, kSetDns),
            Strings{"DNS addresses of block mode 2 are unavailable; leaving current DNS settings unchanged"});
  EXPECT_EQ(setCommandsRun(), 0u);

  // A clear is still a clear.
  request(true, true);
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
}

TEST_F(DnsSwitchTest, RequestsFromSeveralThreadsRunOneAtATimeInSubmissionOrder) {
  const auto& queue = AppUtils::dnsTransitionQueue();
  EXPECT_EQ(queue, AppUtils::dnsTransitionQueue());
  EXPECT_EQ(queue->label(), "mac.com.trennelwick.vorellin.dns-transition");
  EXPECT_EQ(queue->qos(), platform::dispatch::QoS::Utility);
  EXPECT_TRUE(queue->isSerial());
  EXPECT_EQ(queue->target(), nullptr);

  setSwitches(true, true, true);
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  std::atomic<bool> offQueue{false};
  AppUtils::setFenwixServiceCheck([&](bool) {
    int now = ++active;
    maxActive = std::max(maxActive.load(), now);
    if (!queue->isCurrent()) offQueue = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --active;
    return true;
  });

  std::mutex submitMutex;
  Strings submitted;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        std::lock_guard<std::mutex> lock(submitMutex);  // makes the submission order observable
        std::string caller = "thread" + std::to_string(t) + "-" + std::to_string(i);
        submitted.push_back("Caller: " + caller + " | f | 7");
        queue->async([caller] { AppUtils::setDns(false, false, caller, "f", 7); });
      }
    });
  }
  for (auto& th : threads) th.join();
  queue->sync([] {});

  EXPECT_EQ(log->texts(LogFlag::Debug, kSetDns), submitted);
  EXPECT_EQ(maxActive.load(), 1);
  EXPECT_FALSE(offQueue.load());
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"127.0.0.1"});
}

// Nothing set in place of the proxy check: DNS switching runs the real one, as the application does.
TEST_F(DnsSwitchTest, WithAllThreeSwitchesOnTheRealProxyCheckRunsAndARefusedPromptFallsBack) {
  using platform::AdministratorApproval;
  testing::layOutAppBundle();
  auto alerts = std::make_shared<platform::appkit::RecordingAlertPresenter>();
  platform::appkit::AlertPresenter::setShared(alerts);
  backend::PublicIpEchoServer echo{"198.51.100.77", "/"};
  std::string error;
  ASSERT_TRUE(echo.start(0, &error)) << error;
  platform::net::setAllowsInsecureLoopbackHTTP(true);
  AppUtils::setPublicIpEchoUrls(Strings{echo.url(), echo.url(), echo.url()});
  FenwixHelper::unavailableAlertShown = false;
  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Cancel));
  set(keys::kCustomBlacklistDns, list({"10.9.0.1"}));
  set(keys::kFenwixDnsUrls, list({"https://doh.example/"}));
  setSwitches(true, true, true);

  request(true, false);
  // One prompt to install and start the proxy that is not installed; refused, so the option goes off
  // and the plain resolvers of the custom block list are written in the same run.
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  const Strings commands = log->texts(LogFlag::Verbose, "runRootCommands(commands:)");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[1], "cmd: " + *FenwixHelper::proxyCommandLine(FenwixHelper::kServiceInstall) + " && " +
                             *FenwixHelper::proxyCommandLine(FenwixHelper::kServiceStart));
  prefs()->synchronize();
  EXPECT_FALSE(VrlUserDefault::shared().fenwixState());
  EXPECT_EQ(current("Wi-Fi").dnsServers, Strings{"10.9.0.1"});
  EXPECT_EQ(current("Ethernet").dnsServers, Strings{"10.9.0.1"});
  // The fallback's alert, once, and its public-IP refresh.
  EXPECT_TRUE(platform::dispatch::RunLoop::runUntil([&] { return alerts->alerts().size() == 1; },
                                                    std::chrono::seconds(10)));
  EXPECT_EQ(alerts->alerts().at(0).messageText, FenwixHelper::kUnavailableMessage);
  EXPECT_TRUE(platform::dispatch::RunLoop::runUntil(
      [] { return prefs()->stringForKey(keys::kCurrentIp) == std::optional<std::string>("198.51.100.77"); },
      std::chrono::seconds(20)));

  AppUtils::setPublicIpEchoUrls(std::nullopt);
  platform::net::setAllowsInsecureLoopbackHTTP(false);
  platform::appkit::AlertPresenter::setShared(nullptr);
  FenwixHelper::unavailableAlertShown = false;
  testing::forgetAppBundle();
}

}  // namespace
}  // namespace vorellin
