// The uninstall view: from the menu's button to the end of the process, with the record in the cloud,
// the countdown, and the turn-off steps in their order as the simulated Mac saw them.
#include <fstream>

#include "Vorellin/Uninstall.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "Vorellin/tests/AppViewTest.h"
#include "platform/applescript/AdministratorApproval.h"

namespace vorellin {
namespace {

using platform::AdministratorApproval;
using platform::appkit::Button;
using testing::AppViewTest;
using Strings = std::vector<std::string>;

class UninstallViewTest : public AppViewTest {
 protected:
  void SetUp() override {
    AppViewTest::SetUp();
    const std::string dir = toolOverrideDir();
    order_ = dir + "/order";
    // Each step notes itself and whether the user was still signed in (the keychain holds the user).
    const std::string note = "printf '%s %s signed-in=%s\\n' \"$(basename \"$0\")\" \"$*\" "
                             "\"$(grep -c _davedove_user \"$HOME/Library/Keychains/vorellin-keychain.plist\" 2>/dev/null "
                             "| head -1)\" >> " + platform::shellQuote(order_) + "\n";
    for (const char* tool : {"defaults", "launchctl"})
      writeScript(dir + "/" + tool, note + "exec " + platform::shellQuote(testing::macBinDir() + "/" + tool) + " \"$@\"\n");
    // The proxy executable of the application folder, and its launch daemon as an installed proxy leaves it.
    writeScript(platform::systemPath("/Applications/Vorellin.app/Contents/Resources/") + FenwixHelper::serviceName,
                note);
    FenwixHelper::resetExecutablePathForTesting();
    std::filesystem::create_directories(platform::systemPath("/Library/LaunchDaemons"));
    std::ofstream(platform::systemPath(FenwixHelper::launchDaemonPlistPath)) << "<plist/>\n";
    configFile_ = platform::systemPath("/Applications/Vorellin.app/Contents/Resources/dnscrypt-proxy.toml");
    std::ofstream(configFile_) << "listen_addresses = ['127.0.0.1:53']\n";
  }

  static void writeScript(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  Strings steps() {
    Strings out;
    std::ifstream in(order_);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  // Protection on, then the menu's uninstall button: the window goes to the uninstall view.
  std::shared_ptr<Uninstall> uninstallFromTheMenu(const std::function<void()>& beforeClick = nullptr) {
    set(keys::kBlockerState, true);
    auto main = launchSignedIn();
    EXPECT_TRUE(main);
    if (!main) return nullptr;
    main->btnMenuOutlet->performClick();
    log->clear();
    std::ofstream(order_, std::ios::trunc);  // the start-up's own "launchctl list" is not a step
    if (beforeClick) beforeClick();
    main->view()->find<Button>("btnUninstall")->performClick();
    if (Main::isPinProtectOn()) return nullptr;  // the PIN box holds the view
    auto uninstall = waitForContent<Uninstall>();
    EXPECT_TRUE(uninstall);
    drainDns();
    return uninstall;
  }

  std::string order_;
  std::string configFile_;
};

TEST_F(UninstallViewTest, TurnOffNowRunsEveryStepOnceInOrderAndLeavesARecord) {
  const std::string ownUid = uid;
  auto uninstall = uninstallFromTheMenu();
  ASSERT_TRUE(uninstall);
  // The main view switched protection off and removed the proxy once; the new view cleared the DNS.
  EXPECT_EQ(steps(), Strings{"VRLFenwixService -service uninstall signed-in=1"});
  EXPECT_EQ(dnsCallers(), Strings{"viewDidLoad()"});
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_EQ(uninstall->btnTurnOffOutlet->attributedTitle(),
            (platform::appkit::AttributedString{"Turn off app now", platform::appkit::Color::black(),
                                                platform::appkit::TextAlignment::Center}));

  // The label counts down from 19; it never shows 20.
  uninstall->countdown->fire();
  EXPECT_EQ(uninstall->secs->stringValue(), "Automatically turning off in 19 secs\u2026");
  uninstall->countdown->fire();
  EXPECT_EQ(uninstall->secs->stringValue(), "Automatically turning off in 18 secs\u2026");
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("uninstall")));

  std::vector<nlohmann::json> records;
  ASSERT_TRUE(spin([&] { return (records = backend().listDocuments("uninstall")).size() == 1; }));
  const nlohmann::json& fields = records[0]["fields"];
  EXPECT_EQ(fields["userId"], ownUid);
  EXPECT_EQ(fields["device"], (nlohmann::json{{"manufacturer", "Apple"}, {"model", "macOS"}, {"osVersion", majorMinorOSVersion()}}));
  EXPECT_EQ(fields["deviceTimezone"], Uninstall::timeZoneAbbreviation());
  EXPECT_TRUE(fields["time"].contains("__timestamp")) << fields.dump();

  uninstall->btnTurnOffOutlet->performClick();
  ASSERT_TRUE(spin([&] { return exits == 1; }));
  EXPECT_FALSE(uninstall->countdown->isValid());
  EXPECT_EQ(steps(), (Strings{"VRLFenwixService -service uninstall signed-in=1",
                              "defaults delete mac.com.trennelwick.vorellin signed-in=1",
                              "launchctl unload -w /Applications/Vorellin.app/Contents/Resources/VorellinService.plist signed-in=0",
                              "VRLFenwixService -service uninstall signed-in=0"}));
  EXPECT_FALSE(DAVAuth::auth()->currentUser());
  EXPECT_FALSE(platform::SimulatedMac::isJobLoaded("mac.com.trennelwick.vorellin.VorellinService"));
  prefs()->synchronize();
  EXPECT_FALSE(prefs()->hasKey(keys::kBlockerState));
  EXPECT_TRUE(std::filesystem::exists(configFile_));

  // A late tick of the countdown starts nothing again.
  uninstall->counter();
  spin([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(steps().size(), 4u);
}

TEST_F(UninstallViewTest, TheLastTickTurnsOffDespiteARefusedPromptAndAFailedSignOut) {
  ASSERT_TRUE(AdministratorApproval::setPolicy(AdministratorApproval::Policy::Cancel));
  auto uninstall = uninstallFromTheMenu();
  ASSERT_TRUE(uninstall);
  EXPECT_FALSE(std::filesystem::exists(configFile_));
  std::ofstream(configFile_) << "listen_addresses = ['127.0.0.1:53']\n";

  // A keychain that cannot be written makes the sign-out fail: said in the log, and the rest goes on.
  const std::string keychain = platform::homeDirectory() + "/Library/Keychains/vorellin-keychain.plist";
  std::filesystem::remove(keychain);
  std::filesystem::create_directories(keychain);

  for (int tick = 0; tick < 20; ++tick) uninstall->countdown->fire();
  EXPECT_EQ(uninstall->secs->stringValue(), "Automatically turning off in 0 secs\u2026");
  EXPECT_EQ(exits, 0);
  uninstall->countdown->fire();
  ASSERT_TRUE(spin([&] { return exits == 1; }));
  EXPECT_FALSE(uninstall->countdown->isValid());
  EXPECT_EQ(AdministratorApproval::promptCount(), 2);
  EXPECT_FALSE(std::filesystem::exists(configFile_));
  EXPECT_EQ(steps().size(), 2u);  // defaults and launchctl; the refused proxy command never ran
  const auto errors = log->texts(platform::logging::LogFlag::Error, "btnTurnOff(_:)");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Sign-out failed, uninstalling anyway: ", 0), 0u) << errors[0];
  std::filesystem::remove_all(keychain);
}

TEST_F(UninstallViewTest, TheTurnOffWaitsForTheRecordSoThatOneTakenLateStillReachesTheCloud) {
  // The record is written while the database is offline, so the cloud has not taken it yet.
  std::shared_ptr<DAVVerorariv> db;
  auto uninstall = uninstallFromTheMenu([&] {
    db = DAVVerorariv::verorariv();
    bool offline = false;
    db->disableNetworkWithCompletion([&](platform::ErrorPtr) { offline = true; });
    ASSERT_TRUE(spin([&] { return offline; }));
  });
  ASSERT_TRUE(uninstall);
  uninstall->btnTurnOffOutlet->performClick();
  // Nothing is turned off yet: the user who wrote the record is still signed in.
  EXPECT_EQ(steps(), Strings{"VRLFenwixService -service uninstall signed-in=1"});
  EXPECT_TRUE(DAVAuth::auth()->currentUser());

  db->enableNetworkWithCompletion([](platform::ErrorPtr) {});
  ASSERT_TRUE(spin([&] { return exits == 1; }));
  const std::vector<nlohmann::json> records = backend().listDocuments("uninstall");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["fields"]["userId"], uid);
  EXPECT_EQ(steps(), (Strings{"VRLFenwixService -service uninstall signed-in=1",
                              "defaults delete mac.com.trennelwick.vorellin signed-in=1",
                              "launchctl unload -w /Applications/Vorellin.app/Contents/Resources/VorellinService.plist signed-in=0",
                              "VRLFenwixService -service uninstall signed-in=0"}));
  EXPECT_TRUE(log->texts(platform::logging::LogFlag::Error, "btnTurnOff(_:)").empty());
}

TEST_F(UninstallViewTest, AnUnacknowledgedRecordHoldsTheTurnOffForAtMostItsWait) {
  // Under PIN protection the user's PIN lets the uninstall go on; the cloud is down by then, so the
  // record stays pending.
  set(keys::kPinProtect, true);
  set(keys::kPin, "1357");
  set(keys::kMasterPin, "8642");
  std::shared_ptr<Main> main;
  uninstallFromTheMenu([&] {
    main = content<Main>();
    backend().stop();
  });
  ASSERT_TRUE(main);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to uninstall the app.");
  main->inputPinVrl->setStringValue("1357");
  main->view()->find<Button>("btnPinContinue")->performClick();
  auto uninstall = waitForContent<Uninstall>();
  ASSERT_TRUE(uninstall);
  const auto start = std::chrono::steady_clock::now();
  uninstall->btnTurnOffOutlet->performClick();
  EXPECT_EQ(exits, 0);
  EXPECT_EQ(steps().size(), 1u);  // only the main view's proxy removal; the turn-off waits
  ASSERT_TRUE(spin([&] { return exits == 1; }, std::chrono::seconds(15)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, Uninstall::kRecordWait - std::chrono::milliseconds(100));
  EXPECT_EQ(steps().size(), 4u);
  EXPECT_EQ(log->texts(platform::logging::LogFlag::Error, "btnTurnOff(_:)"),
            Strings{"The uninstall record was not taken by the cloud within 5 seconds; turning off anyway"});
  spin([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(exits, 1);
}

}  // namespace
}  // namespace vorellin
