// The run command's guided tour, the program itself: the application offscreen on the simulated Mac,
// against the backend stand-in and filtering resolvers on random loopback addresses (port 53, so
// root). Without root the case is skipped on a developer's machine and fails under CI.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "Vorellin/tests/AppBundle.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "backend/dns/FilteringDnsService.h"
#include "backend/dns/PublicIpEchoServer.h"
#include "backend/src/TestBackend.h"
#include "platform/process/Process.h"

namespace vorellin {
namespace {

using platform::shellQuote;

constexpr const char* kUid = "tourist-uid";
constexpr const char* kEmail = "tourist@vorellin.test";
constexpr const char* kPassword = "tour-password";
constexpr const char* kApiKey = "tour-api-key";

class TourTest : public testing::SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    if (::geteuid() != 0) {
      if (std::getenv("CI")) FAIL() << "the filtering resolvers listen on port 53: this test must run as root under CI";
      GTEST_SKIP() << "the filtering resolvers listen on port 53";
    }
    testing::layOutAppBundle(false);
    for (auto* address : {&network, &normal, &extreme, &custom}) *address = backend::randomLoopbackAddress();
    const nlohmann::json documents = {
        {"users/tourist-profile", {{"userId", kUid}, {"email", kEmail}, {"devices", nlohmann::json::array()}}},
        {std::string("pin/") + kUid, {{"userId", kUid}, {"pin", "1234"}}},
        {"admin/masterPin", {{"masterPin", "9999"}}},
        {"dnsServers/blockModes",
         {{"normal", {{"ipv4", {normal}}}}, {"extreme", {{"ipv4", {extreme}}}}, {"ultraExtreme", {{"ipv4", {extreme}}}}}},
        {"dnsServers/customDns", {{"ipv4", {custom}}, {"dnsOverHttps", {"https://127.0.0.1:1/dns-query"}}}},
        {std::string("customBlacklist/") + kUid,
         {{"userId", kUid}, {"blockMode", 0}, {"latestIpAddress", nlohmann::json::array()}}}};
    backend = std::make_unique<backend::TestBackend>(std::vector<backend::SeedUser>{{kUid, kEmail, kPassword}},
                                                     std::vector<std::string>{kApiKey}, documents);
    std::string error;
    ASSERT_TRUE(echo.start(0, &error)) << error;
    // The network's own resolver and the normal mode's; the extreme mode's address answers nothing.
    ASSERT_TRUE(resolvers.applySeed(nlohmann::json::parse(R"({"filteringDns": {
      "answers": {"www.vorellin.test": "192.0.2.20", "games.vorellin.test": "192.0.2.22",
                  "blocked.vorellin.test": "192.0.2.25"},
      "blockLists": {"normal": ["blocked.vorellin.test"], "extreme": ["blocked.vorellin.test", "games.vorellin.test"],
                     "custom": ["social.vorellin.test"]}}})"), &error)) << error;
    ASSERT_TRUE(resolvers.start(&error)) << error;
    ASSERT_TRUE(resolvers.addResolver(network, "none", &error)) << error;
    ASSERT_TRUE(resolvers.addResolver(normal, "normal", &error)) << error;

    testing::writeServiceInfo(kApiKey, backend->projectId(), backend->baseURL(), backend->documentsHost(),
                              {echo.url(), echo.url(), echo.url()});
    writeServices({service("Wi-Fi", true, {network}), service("Ethernet", true, {network})});
    ASSERT_TRUE(platform::SimulatedMac::writeLoadedJobs(
        {{"mac.com.trennelwick.vorellin.VorellinService", AppUtils::kServicePlistPath}}));
  }

  void TearDown() override {
    // A proxy that a step started outlives the tour, as a launch daemon does.
    if (std::filesystem::exists(platform::systemPath(FenwixHelper::launchDaemonPlistPath)))
      platform::runShell(*FenwixHelper::proxyCommandLine(FenwixHelper::kServiceUninstall) + " >/dev/null 2>&1");
    testing::forgetAppBundle();
    SimulatedMacTest::TearDown();
  }

  // The tour as the run command starts it; its standard output and error come back separately.
  platform::ShellCapture runTour(const std::string& logFile) {
    const std::string tokenFile = backend->server().adminTokenFile();
    return platform::runShellCapturingErrors(
        "QT_QPA_PLATFORM=offscreen VRL_AUTH_PASSWORD=" + shellQuote(kPassword) + " " + shellQuote(VRL_TOUR_EXE) +
        " --backend " + shellQuote(backend->baseURL()) + " --admin-token-file " + shellQuote(tokenFile) +
        " --email " + kEmail + " --log " + shellQuote(logFile));
  }

  std::string network, normal, extreme, custom;
  std::unique_ptr<backend::TestBackend> backend;
  backend::PublicIpEchoServer echo{"203.0.113.7"};
  backend::FilteringDnsService resolvers;
};

TEST_F(TourTest, AStepThatDoesNotComeAboutEndsTheTourWithWhatItSawOnTheTerminal) {
  // The Mac refuses the extreme mode's resolver on Ethernet, and that resolver does not answer.
  const std::string dir = toolOverrideDir();
  {
    std::ofstream script(dir + "/networksetup");
    script << "#!/bin/sh\n"
           << "if [ \"$1\" = -setdnsservers ] && [ \"$2\" = Ethernet ] && echo \"$*\" | grep -qF " << shellQuote(extreme)
           << "; then echo '** Error: The parameters were not valid.'; exit 1; fi\n"
           << "exec " << shellQuote(testing::macBinDir() + "/networksetup") << " \"$@\"\n";
  }
  std::filesystem::permissions(dir + "/networksetup", std::filesystem::perms::owner_all);

  const std::string logFile = root_ + "/tour.log";
  const platform::ShellCapture tour = runTour(logFile);
  const std::string& out = tour.output;
  EXPECT_EQ(tour.status, 1) << out << tour.errorOutput;

  // Before the sign-in, signed in, and the normal mode on: each as announced.
  const size_t third = out.find("\n== 3. Protection on, normal mode");
  const size_t fourth = out.find("\n== 4. The cloud gives the normal mode stricter resolvers");
  ASSERT_NE(out.find("\n== 2. Signed in as tourist@vorellin.test"), std::string::npos) << out;
  ASSERT_NE(third, std::string::npos) << out;
  ASSERT_NE(fourth, std::string::npos) << out;
  EXPECT_EQ(out.rfind("NOT AS ANNOUNCED", fourth), std::string::npos) << out;
  EXPECT_NE(out.find("dig @" + network + " blocked.vorellin.test -> 192.0.2.25"), std::string::npos) << out;
  EXPECT_NE(out.find("dig @" + normal + " blocked.vorellin.test -> 0.0.0.0", third), std::string::npos) << out;

  // The cloud's stricter resolvers reach only Wi-Fi and do not answer: the tour stops there.
  const std::string step4 = out.substr(fourth);
  EXPECT_NE(step4.find("   DNS of Wi-Fi: " + extreme + "\n"), std::string::npos) << step4;
  EXPECT_NE(step4.find("   NOT AS ANNOUNCED: DNS of Ethernet is " + normal + ", announced: from " + extreme + "\n"),
            std::string::npos) << step4;
  EXPECT_NE(step4.find("   NOT AS ANNOUNCED: blocked.vorellin.test through " + extreme +
                       " is (no answer), announced: blocked (0.0.0.0)\n"),
            std::string::npos) << step4;
  EXPECT_NE(step4.find("   NOT AS ANNOUNCED: www.vorellin.test through " + extreme +
                       " is (no answer), announced: its address\n"),
            std::string::npos) << step4;
  EXPECT_EQ(out.find("\n== 5."), std::string::npos) << out;

  // The reason reaches the terminal; the application's own output goes to the log.
  EXPECT_NE(tour.errorOutput.find("tour: step 4 did not come about as announced; what it saw is above (application log: " +
                                  logFile + ")"),
            std::string::npos) << tour.errorOutput;
  std::ifstream log(logFile);
  const std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("setDns(force:clearDns:functionCaller:file:line:)"), std::string::npos) << logged;
  EXPECT_EQ(tour.errorOutput.find("setDns(force:clearDns:functionCaller:file:line:)"), std::string::npos);
  // The application quit as it always does: the DNS is automatic again.
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_TRUE(current("Ethernet").dnsServers.empty());
}

TEST_F(TourTest, AProxyThatNeverAnswersFailsTheEncryptedDnsStep) {
  // Every resolver of the steps before answers. The proxy is the application's own, with nothing
  // listening at its upstream: it starts on 127.0.0.1 port 53 and answers no name.
  std::string error;
  ASSERT_TRUE(resolvers.addResolver(extreme, "extreme", &error)) << error;
  ASSERT_TRUE(resolvers.addResolver(custom, "custom", &error)) << error;
  const std::string proxy = std::string("/Contents/Resources/") + FenwixHelper::serviceName;
  std::filesystem::copy_file(testing::builtAppBundle() + proxy, platform::systemPath("/Applications/Vorellin.app") + proxy,
                             std::filesystem::copy_options::overwrite_existing);

  const std::string logFile = root_ + "/tour.log";
  const platform::ShellCapture tour = runTour(logFile);
  const std::string& out = tour.output;
  EXPECT_EQ(tour.status, 1) << out << tour.errorOutput;
  const size_t sixth = out.find("\n== 6. Encrypted DNS on: the local proxy answers on 127.0.0.1 over HTTPS upstream\n");
  ASSERT_NE(sixth, std::string::npos) << out;
  EXPECT_EQ(out.rfind("NOT AS ANNOUNCED", sixth), std::string::npos) << out;
  EXPECT_NE(out.find("dig @" + custom + " social.vorellin.test -> 0.0.0.0"), std::string::npos) << out;

  // The application gave the option up and went back to the custom block list's resolvers.
  const std::string step6 = out.substr(sixth);
  EXPECT_NE(out.find("   alert: FENWIX is unavailable\n"), std::string::npos) << out;
  EXPECT_NE(step6.find("   DNS of Wi-Fi: " + custom + "\n"), std::string::npos) << step6;
  EXPECT_NE(step6.find("   NOT AS ANNOUNCED: DNS of Wi-Fi is " + custom + ", announced: from 127.0.0.1\n"),
            std::string::npos) << step6;
  EXPECT_NE(step6.find("   NOT AS ANNOUNCED: DNS of Ethernet is " + custom + ", announced: from 127.0.0.1\n"),
            std::string::npos) << step6;
  EXPECT_NE(step6.find("   NOT AS ANNOUNCED: not so: the encrypted-DNS option stayed on\n"), std::string::npos) << step6;
  EXPECT_EQ(out.find("\n== 7."), std::string::npos) << out;
  EXPECT_NE(tour.errorOutput.find("tour: step 6 did not come about as announced"), std::string::npos)
      << tour.errorOutput;
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
}

}  // namespace
}  // namespace vorellin
