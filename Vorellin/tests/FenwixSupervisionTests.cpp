// The proxy supervision against the real proxy stand-in, the backend's DNS-over-HTTPS resolver and
// echo services, and /usr/bin/dig, reached the way the application reaches it: through DNS switching.
// The proxy listens on 127.0.0.1 port 53, so these tests run as root and one at a time; without root
// they are skipped on a developer's machine and fail under CI, so CI can never pass without them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "Vorellin/tests/AppBundle.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "backend/dns/DohResolver.h"
#include "backend/dns/FilteringDnsService.h"
#include "backend/dns/PublicIpEchoServer.h"
#include "backend/src/TestBackend.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/applescript/AdministratorApproval.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/URLRequest.h"
#include "platform/process/Process.h"

namespace vorellin {
namespace {

using platform::AdministratorApproval;
using platform::appkit::Alert;
using platform::appkit::AlertStyle;
using platform::logging::LogFlag;
using Strings = std::vector<std::string>;

constexpr const char* kFunction = "checkFenwixService(forceRestart:)";
constexpr const char* kEchoAddress = "198.51.100.20";
constexpr const char* kResolvedAddress = "192.0.2.10";
const Strings kPlainResolvers = {"10.9.0.1", "10.9.0.2"};

class FenwixSupervisionTest : public testing::SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    VRL_REQUIRE_ROOT("the proxy listens on port 53");
    testing::layOutAppBundle();
    FenwixHelper::unavailableAlertShown = false;
    FenwixHelper::setUserIdProvider([] { return std::optional<std::string>("user-1"); });
    AppUtils::forgetLastCustomBlacklistDnsForTesting();
    platform::appkit::AlertPresenter::setShared(alerts);

    std::string error;
    for (backend::PublicIpEchoServer* echo : {&echoA, &echoB, &echoC}) ASSERT_TRUE(echo->start(0, &error)) << error;
    platform::net::setAllowsInsecureLoopbackHTTP(true);
    AppUtils::setPublicIpEchoUrls(Strings{echoA.url(), echoB.url(), echoC.url()});
    AppUtils::setCurrentIpRegistration([this](const std::string& ip) {
      std::lock_guard<std::mutex> lock(mutex_);
      registered_.push_back(ip);
    });

    const std::string certificates = root_ + "/doh-certificates";
    std::filesystem::create_directories(certificates);
    ASSERT_TRUE(doh.start(certificates, 0, &error)) << error;
    ::setenv("VRL_FENWIX_CA_FILE", doh.caFile().c_str(), 1);

    setSwitches(true, true, true);
    setModeLists();
    set(keys::kCustomBlacklistDns, list(kPlainResolvers));
    set(keys::kFenwixDnsUrls, list({"https://" + doh.hostAndPort() + "/"}));
    writeServices({service("Wi-Fi"), service("Ethernet")});
  }

  void TearDown() override {
    if (::geteuid() == 0) {
      // Whatever a test left running goes, so port 53 is free for the next one.
      platform::runShell(*FenwixHelper::proxyCommandLine(FenwixHelper::kServiceUninstall) + " >/dev/null 2>&1");
      waitForRefreshes();
      ::unsetenv("VRL_FENWIX_CA_FILE");
      AppUtils::setCurrentIpRegistration(nullptr);
      AppUtils::setPublicIpEchoUrls(std::nullopt);
      platform::net::setAllowsInsecureLoopbackHTTP(false);
      platform::appkit::AlertPresenter::setShared(nullptr);
      FenwixHelper::setUserIdProvider(nullptr);
      FenwixHelper::unavailableAlertShown = false;
      testing::forgetAppBundle();
    }
    SimulatedMacTest::TearDown();
  }

  // One DNS request on the DNS-transition queue, as the application makes it.
  static void requestDns(bool force) {
    AppUtils::dnsTransitionQueue()->sync([force] { AppUtils::setDns(force, false, "test", __FILE__, __LINE__); });
  }
  static bool check(bool forceRestart) {
    bool healthy = false;
    AppUtils::dnsTransitionQueue()->sync([&] { healthy = FenwixHelper::checkFenwixService(forceRestart); });
    return healthy;
  }

  static bool fenwixState() {
    prefs()->synchronize();
    return VrlUserDefault::shared().fenwixState();
  }
  static int proxyProcesses() {
    return std::atoi(AppUtils::shellResult(FenwixHelper::kProcessCountCommand).output.c_str());
  }
  static bool installed() { return std::filesystem::exists(platform::systemPath(FenwixHelper::launchDaemonPlistPath)); }
  static std::string dig(const std::string& name) {
    return platform::runShell("/usr/bin/dig @127.0.0.1 " + name + " +time=2 +tries=1 +short").output;
  }
  static std::set<std::string> servers(const std::string& name) {
    auto s = current(name).dnsServers;
    return {s.begin(), s.end()};
  }

  size_t registrations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return registered_.size();
  }
  // The fallback's public-IP refresh registers the echo services' address.
  void waitForRegistrations(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (registrations() < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(registrations(), count);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& ip : registered_) EXPECT_EQ(ip, kEchoAddress);
  }
  // Refreshes still asking the echo services would write into the next test's settings.
  void waitForRefreshes() {
    int last = -1;
    for (int i = 0; i < 100; ++i) {
      const int now = echoA.requestCount() + echoB.requestCount() + echoC.requestCount();
      if (now == last && now % 3 == 0) break;
      last = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // Lets the main queue run the alerts scheduled so far.
  void drainMainQueue() {
    platform::dispatch::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(200));
  }
  void expectOneUnavailableAlert() {
    drainMainQueue();
    const std::vector<Alert> shown = alerts->alerts();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, "FENWIX is unavailable");
    EXPECT_EQ(shown[0].informativeText,
              "Vorellin is reverting to its existing filtered DNS path. Protection is degraded until DNS settings "
              "and public-IP registration succeed. Re-enable FENWIX after resolving the service problem.");
    EXPECT_EQ(shown[0].style, AlertStyle::Warning);
    EXPECT_EQ(shown[0].buttons, Strings({"OK"}));
  }

  std::shared_ptr<platform::appkit::RecordingAlertPresenter> alerts =
      std::make_shared<platform::appkit::RecordingAlertPresenter>();
  backend::PublicIpEchoServer echoA{kEchoAddress, "/"}, echoB{kEchoAddress, "/"}, echoC{kEchoAddress, "/ip"};
  backend::DohResolver doh{{"blocked.example"}, kResolvedAddress};
  std::mutex mutex_;
  Strings registered_;
};

TEST_F(FenwixSupervisionTest, NothingHappensUnlessAllThreeSwitchesAreOn) {
  for (auto [blocker, custom, fenwix] : std::vector<std::tuple<bool, bool, bool>>{
           {true, true, false}, {true, false, true}, {false, true, true}}) {
    setSwitches(blocker, custom, fenwix);
    EXPECT_FALSE(check(false));
    EXPECT_FALSE(check(true));
  }
  EXPECT_FALSE(std::filesystem::exists(*FenwixHelper::configFilePath()));
  EXPECT_EQ(AdministratorApproval::promptCount(), 0);
  EXPECT_EQ(log->count(kFunction), 0u);
  EXPECT_EQ(log->count("runRootCommands(commands:)"), 0u);
  drainMainQueue();
  EXPECT_EQ(alerts->count(), 0u);
}

TEST_F(FenwixSupervisionTest, NotInstalledIsInstalledAndStartedUnderOnePromptAndThenServes) {
  ASSERT_FALSE(installed());
  requestDns(true);

  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  EXPECT_TRUE(installed());
  EXPECT_GT(proxyProcesses(), 0);
  EXPECT_TRUE(fenwixState());
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>({"127.0.0.1"}));
  EXPECT_EQ(servers("Ethernet"), std::set<std::string>({"127.0.0.1"}));
  const Strings verbose = log->texts(LogFlag::Verbose, "runRootCommands(commands:)");
  ASSERT_EQ(verbose.size(), 2u);
  EXPECT_EQ(verbose[1], "cmd: " + *FenwixHelper::proxyCommandLine(FenwixHelper::kServiceInstall) + " && " +
                            *FenwixHelper::proxyCommandLine(FenwixHelper::kServiceStart));

  // The proxy forwards to the custom block list's resolver with the user's id as the path.
  EXPECT_EQ(dig("blocked.example"), "0.0.0.0\n");
  EXPECT_EQ(dig("allowed.example"), std::string(kResolvedAddress) + "\n");
  const Strings paths = doh.requestPaths();
  ASSERT_FALSE(paths.empty());
  for (const std::string& path : paths) EXPECT_EQ(path, "/user-1");
  drainMainQueue();
  EXPECT_EQ(alerts->count(), 0u);
}

TEST_F(FenwixSupervisionTest, RunningProxyIsOnlyCheckedUnlessARestartIsAsked) {
  ASSERT_TRUE(check(false));
  ASSERT_EQ(AdministratorApproval::promptCount(), 1);
  log->clear();

  EXPECT_TRUE(check(false));
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  EXPECT_EQ(log->texts(LogFlag::Debug, kFunction),
            Strings({"checkFenwixService | fenwix ON", "fenwix service is installed",
                     "fenwix service is running. Do nothing"}));

  log->clear();
  EXPECT_TRUE(check(true));
  EXPECT_EQ(AdministratorApproval::promptCount(), 2);
  EXPECT_EQ(log->texts(LogFlag::Debug, kFunction),
            Strings({"checkFenwixService | fenwix ON", "fenwix service is installed", "fenwix service force restart"}));
  EXPECT_GT(proxyProcesses(), 0);
  EXPECT_TRUE(fenwixState());
}

TEST_F(FenwixSupervisionTest, InstalledButNotRunningIsStarted) {
  // Installed by hand, never started.
  ASSERT_EQ(platform::runShell(*FenwixHelper::proxyCommandLine(FenwixHelper::kServiceInstall)).status, 0);
  ASSERT_TRUE(installed());
  ASSERT_EQ(proxyProcesses(), 0);

  EXPECT_TRUE(check(false));
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  EXPECT_EQ(log->texts(LogFlag::Debug, kFunction),
            Strings({"checkFenwixService | fenwix ON", "fenwix service is installed", "fenwix service is not running"}));
  EXPECT_EQ(log->texts(LogFlag::Verbose, "runRootCommands(commands:)").back(),
            "cmd: " + *FenwixHelper::proxyCommandLine(FenwixHelper::kServiceStart));
  EXPECT_GT(proxyProcesses(), 0);
}

TEST_F(FenwixSupervisionTest, RefusedPromptFallsBackToThePlainResolversInTheSameRun) {
  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Cancel));
  requestDns(true);

  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  EXPECT_FALSE(installed());
  EXPECT_FALSE(fenwixState());
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>(kPlainResolvers.begin(), kPlainResolvers.end()));
  EXPECT_EQ(servers("Ethernet"), std::set<std::string>(kPlainResolvers.begin(), kPlainResolvers.end()));
  waitForRegistrations(1);
  EXPECT_EQ(prefs()->stringForKey(keys::kCurrentIp), kEchoAddress);
  expectOneUnavailableAlert();
  const Strings errors = log->texts(LogFlag::Error, "runRootCommands(commands:)");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("FENWIX administrator command failed: ", 0), 0u);

  // The user switches the option on again and the prompt is refused again: no second alert.
  set(keys::kFenwixState, true);
  requestDns(true);
  EXPECT_EQ(AdministratorApproval::promptCount(), 2);
  EXPECT_FALSE(fenwixState());
  waitForRegistrations(2);
  expectOneUnavailableAlert();
}

TEST_F(FenwixSupervisionTest, SilentProxyFallsBackAndTheAlertReturnsOnlyAfterAHealthyCheck) {
  ASSERT_TRUE(check(false));

  // The resolver behind the proxy goes away: the proxy answers, but with nothing.
  doh.stop();
  const auto started = std::chrono::steady_clock::now();
  requestDns(false);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));  // three attempts, one second apart
  EXPECT_EQ(dig("allowed.example"), "");
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  EXPECT_FALSE(fenwixState());
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>(kPlainResolvers.begin(), kPlainResolvers.end()));
  waitForRegistrations(1);
  expectOneUnavailableAlert();

  // Failing again (the health timer's next run) shows nothing more.
  set(keys::kFenwixState, true);
  requestDns(false);
  EXPECT_FALSE(fenwixState());
  waitForRegistrations(2);
  expectOneUnavailableAlert();

  // A healthy check resets it, so the next failure is told again.
  std::string error;
  ASSERT_TRUE(doh.start(root_ + "/doh-certificates", doh.port(), &error)) << error;
  // The running proxy trusts the authority it started with; a restart picks up the new one.
  ::setenv("VRL_FENWIX_CA_FILE", doh.caFile().c_str(), 1);
  set(keys::kFenwixState, true);
  EXPECT_TRUE(check(true));
  EXPECT_FALSE(FenwixHelper::unavailableAlertShown);
  doh.stop();
  requestDns(false);
  EXPECT_FALSE(fenwixState());
  waitForRegistrations(3);
  drainMainQueue();
  EXPECT_EQ(alerts->count(), 2u);
}

TEST_F(FenwixSupervisionTest, ADeadProxyHandsTheMacToResolversThatAnswerWhenTheCustomListIsWithdrawn) {
  // Plain resolvers that answer: the custom block list's and the normal mode's.
  const std::string custom = backend::randomLoopbackAddress(), normal = backend::randomLoopbackAddress();
  backend::FilteringDnsService resolvers;
  std::string error;
  ASSERT_TRUE(resolvers.applySeed(nlohmann::json::parse(R"({"filteringDns": {"answers": {"www.vorellin.test": "192.0.2.20"},
      "blockLists": {"custom": ["social.vorellin.test"], "normal": ["adult.vorellin.test"]}}})"), &error)) << error;
  ASSERT_TRUE(resolvers.start(&error)) << error;
  ASSERT_TRUE(resolvers.addResolver(custom, "custom", &error)) << error;
  ASSERT_TRUE(resolvers.addResolver(normal, "normal", &error)) << error;
  set(keys::kNormal, list({normal}));
  set(keys::kBlockerMode, 0);
  set(keys::kCustomBlacklistDns, list({custom}));
  // Names through the first resolver of Wi-Fi's DNS, as the Mac asks them.
  auto throughTheMac = [](const std::string& name) {
    const Strings dns = current("Wi-Fi").dnsServers;
    return dns.empty() ? std::string("(automatic)") : backend::digAnswer(dns.front(), name);
  };

  requestDns(true);
  ASSERT_EQ(servers("Wi-Fi"), std::set<std::string>({"127.0.0.1"}));
  EXPECT_EQ(throughTheMac("www.vorellin.test"), kResolvedAddress);  // over HTTPS upstream

  // The cloud withdraws the custom list while the proxy serves (the listener stores it, and asks for no
  // DNS change while the proxy is on); then the proxy stops answering, and the health timer finds out.
  set(keys::kCustomBlacklistDns, list({}));
  requestDns(false);
  doh.stop();
  requestDns(false);
  EXPECT_FALSE(fenwixState());
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>({custom}));
  EXPECT_EQ(servers("Ethernet"), std::set<std::string>({custom}));
  EXPECT_EQ(throughTheMac("social.vorellin.test"), "0.0.0.0");
  EXPECT_EQ(throughTheMac("www.vorellin.test"), "192.0.2.20");
  waitForRegistrations(1);
  expectOneUnavailableAlert();

  // A start that never saw a custom list: the current mode's resolvers take the proxy's place.
  AppUtils::forgetLastCustomBlacklistDnsForTesting();
  ASSERT_TRUE(doh.start(root_ + "/doh-certificates", doh.port(), &error)) << error;
  ::setenv("VRL_FENWIX_CA_FILE", doh.caFile().c_str(), 1);
  set(keys::kFenwixState, true);
  ASSERT_TRUE(check(true));  // restarted, so it trusts the resolver's new authority
  requestDns(true);
  ASSERT_EQ(servers("Wi-Fi"), std::set<std::string>({"127.0.0.1"}));
  doh.stop();
  requestDns(false);
  EXPECT_FALSE(fenwixState());
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>({normal}));
  EXPECT_EQ(throughTheMac("adult.vorellin.test"), "0.0.0.0");
  EXPECT_EQ(throughTheMac("www.vorellin.test"), "192.0.2.20");
  waitForRegistrations(2);
}

TEST_F(FenwixSupervisionTest, ProxyThatCannotStartFallsBack) {
  // Something else holds the proxy's port.
  const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  requestDns(true);
  ::close(blocker);
  EXPECT_EQ(AdministratorApproval::promptCount(), 1);
  EXPECT_EQ(proxyProcesses(), 0);
  EXPECT_FALSE(fenwixState());
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>(kPlainResolvers.begin(), kPlainResolvers.end()));
  waitForRegistrations(1);
  expectOneUnavailableAlert();
}

TEST_F(FenwixSupervisionTest, HealthCheckAcceptsAProxyThatAnswersOnlyTheThirdQuery) {
  // Nothing listens for the first two attempts (at about 0 and 1 second); the proxy comes up before
  // the third (at about 2 seconds).
  FenwixHelper::writeFenwixConfig();
  std::thread bringUp([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1400));
    platform::runShell(*FenwixHelper::proxyCommandLine(FenwixHelper::kServiceInstall) + " && " +
                       *FenwixHelper::proxyCommandLine(FenwixHelper::kServiceStart) + " >/dev/null 2>&1");
  });
  const auto started = std::chrono::steady_clock::now();
  const bool healthy = FenwixHelper::checkFenwixHealth();
  const auto took = std::chrono::steady_clock::now() - started;
  bringUp.join();
  EXPECT_TRUE(healthy);
  EXPECT_GE(took, std::chrono::seconds(2));  // two failed attempts, each followed by its one-second pause
  EXPECT_TRUE(fenwixState());
}

TEST_F(FenwixSupervisionTest, HealthCheckStopsWaitingOnceASwitchGoesOff) {
  // Nothing listens on port 53: every attempt fails, and the option goes off during the first pause.
  std::thread switchOff([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    set(keys::kFenwixState, false);
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(FenwixHelper::checkFenwixHealth());
  switchOff.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2900));
}

TEST_F(FenwixSupervisionTest, ASwitchTurnedOffDuringTheHealthCheckEndsItWithoutFallback) {
  // An installed proxy whose start succeeds but that never answers: the "executable" only notes the
  // start, and nothing listens on port 53.
  const std::string started = root_ + "/started";
  const std::string exe = *FenwixHelper::executablePath();
  {
    std::ofstream script(exe, std::ios::trunc);
    script << "#!/bin/sh\ntouch " << platform::shellQuote(started) << "\n";
  }
  std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
  std::filesystem::create_directories(std::filesystem::path(platform::systemPath(FenwixHelper::launchDaemonPlistPath)).parent_path());
  { std::ofstream(platform::systemPath(FenwixHelper::launchDaemonPlistPath)) << "installed\n"; }
  ASSERT_EQ(proxyProcesses(), 0);

  // The user turns protection off while the check waits for the proxy.
  std::thread user([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(started) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    set(keys::kBlockerState, false);
  });
  const bool healthy = check(false);
  user.join();
  ASSERT_TRUE(std::filesystem::exists(started)) << "the start command did not run";
  EXPECT_FALSE(healthy);
  EXPECT_TRUE(fenwixState()) << "the option stays as the user left it";
  EXPECT_FALSE(FenwixHelper::unavailableAlertShown);
  drainMainQueue();
  EXPECT_EQ(alerts->count(), 0u);
  EXPECT_EQ(echoA.requestCount() + echoB.requestCount() + echoC.requestCount(), 0) << "no fallback refresh";
}

}  // namespace
}  // namespace vorellin
