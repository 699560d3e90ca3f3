// The main view against the simulated Mac and the backend stand-in: protection on and off, the block
// modes, the menu's switches, the PIN box, and the DNS check when the view starts. Every click goes
// through the real control; the DNS requests it queues run on the DNS-transition queue and reach the
// simulated Mac's networksetup.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "Vorellin/tests/AppViewTest.h"
#include "platform/foundation/Bundle.h"

namespace vorellin {
namespace {

using platform::appkit::Button;
using platform::appkit::ControlStateOff;
using platform::appkit::ControlStateOn;
using testing::AppViewTest;
using Strings = std::vector<std::string>;

class MainViewTest : public AppViewTest {
 protected:
  void SetUp() override {
    AppViewTest::SetUp();
    calls_ = testing::writeScriptedNetworksetup(toolOverrideDir(), "");
  }

  // The "-setdnsservers" calls made since the last look, as "service:address address" with the
  // addresses sorted (two of a longer list are written in random order).
  Strings takeSetCalls() {
    Strings out;
    std::ifstream in(calls_);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("-setdnsservers|", 0) != 0) continue;
      std::vector<std::string> words;
      size_t start = 0, bar;
      while ((bar = line.find('|', start)) != std::string::npos) {
        words.push_back(line.substr(start, bar - start));
        start = bar + 1;
      }
      std::sort(words.begin() + 2, words.end());
      std::string text = words[1] + ":";
      for (size_t i = 2; i < words.size(); ++i) text += (i > 2 ? " " : "") + words[i];
      out.push_back(text);
    }
    std::ofstream(calls_, std::ios::trunc);
    return out;
  }

  Strings takeCallers() {
    Strings out = dnsCallers();
    log->clear();
    return out;
  }

  static std::set<std::string> servers(const std::string& name) {
    auto list = current(name).dnsServers;
    return {list.begin(), list.end()};
  }

  platform::appkit::Rect frame() { return windowController->window()->frame(); }
  static double top(const platform::appkit::Rect& r) { return r.origin.y + r.size.height; }

  void click(const std::shared_ptr<Button>& button) {
    button->performClick();
    drainDns();
  }

  void enterPin(const std::shared_ptr<Main>& main, const std::string& pin) {
    main->inputPinVrl->setStringValue(pin);
    main->view()->find<Button>("btnPinContinue")->performClick();
    drainDns();
  }

  static std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The settings file cut in half, as a writer that crashed might leave it; returns what is left.
  static std::string damageSettings() {
    const std::string path = prefs()->filePath();
    const std::string whole = readFile(path);
    const std::string half = whole.substr(0, whole.size() / 2);
    std::ofstream(path, std::ios::trunc) << half;
    return half;
  }
  // The unreadable files kept aside when the settings were written anew.
  static std::vector<std::filesystem::path> asideFiles() {
    const std::filesystem::path path = prefs()->filePath();
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path()))
      if (entry.path().filename().string().rfind(path.filename().string() + ".damaged-", 0) == 0)
        files.push_back(entry.path());
    return files;
  }

  std::string calls_;
};

TEST_F(MainViewTest, ProtectionModesAndPinLockQueueDnsRequestsThatSwitchTheMac) {
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  // At start protection is off: the check asks for a clear, and IPv6 goes off everywhere.
  EXPECT_EQ(takeCallers(), Strings{"checkDns()"});
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
  EXPECT_TRUE(current("Wi-Fi").ipv6Off);
  EXPECT_TRUE(current("Ethernet").ipv6Off);
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  EXPECT_FALSE(main->imgVRLActive->image());
  const platform::Value* version = platform::Bundle::main()->objectForInfoDictionaryKey("CFBundleShortVersionString");
  ASSERT_TRUE(version && version->asString());
  EXPECT_EQ(main->btnVersion->title(), "Build " + *version->asString());
  EXPECT_TRUE(main->boxLoading->isHidden());
  EXPECT_TRUE(main->imgMenu->isEnabled());

  click(main->btnVRLOutlet);
  EXPECT_TRUE(VrlUserDefault::shared().blockerState());
  EXPECT_EQ(takeCallers(), Strings{"btnVRL(_:)"});
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.0.1 10.0.0.2", "Ethernet:10.0.0.1 10.0.0.2"}));
  EXPECT_EQ(servers("Wi-Fi"), (std::set<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  ASSERT_TRUE(main->imgVRLActive->image());
  EXPECT_EQ(main->imgVRLActive->image()->name(), "VRL Active");
  EXPECT_DOUBLE_EQ(main->imgVRLActive->alphaValue(), 0.1);
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-normal")));
  click(main->view()->find<Button>("btnHere"));
  EXPECT_EQ(opened, Strings{kDownloadPage});

  // The menu: 150 points taller with the top edge in place, however often it is asked for.
  const auto normal = frame();
  EXPECT_EQ(normal.size.height, Main::kNormalHeight);
  click(main->btnMenuOutlet);
  EXPECT_FALSE(main->boxMenu->isHidden());
  EXPECT_TRUE(main->boxMain->isHidden());
  EXPECT_EQ(main->normalMode->state(), ControlStateOn);
  main->showMenu();
  EXPECT_EQ(frame().size.height, Main::kNormalHeight + 150);
  EXPECT_EQ(top(frame()), top(normal));
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-menu")));

  // Raising the mode applies at once; the mode in force again does nothing.
  click(main->extremeMode);
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 1);
  EXPECT_EQ(takeCallers(), Strings{"ModeSelected(mode:)"});
  EXPECT_EQ(servers("Ethernet"), (std::set<std::string>{"10.0.1.1", "10.0.1.2"}));
  takeSetCalls();
  click(main->extremeMode);
  EXPECT_EQ(takeCallers(), Strings{});

  // PIN protection goes on without a PIN.
  set(keys::kPin, "1234");
  set(keys::kMasterPin, "9876");
  click(main->pinProtectMode);
  EXPECT_TRUE(prefs()->boolForKey(keys::kPinProtect));
  EXPECT_TRUE(main->boxAskPin->isHidden());

  // Back after asking to lower the mode leaves the mode and the radio buttons as they were.
  click(main->normalMode);
  click(main->view()->find<Button>("btnBackAskPin"));
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 1);
  EXPECT_EQ(main->extremeMode->state(), ControlStateOn);
  EXPECT_EQ(main->normalMode->state(), ControlStateOff);
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_FALSE(main->boxMenu->isHidden());

  // Lowering the mode waits for a PIN; meanwhile nothing else can be changed.
  click(main->normalMode);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to change block mode.");
  EXPECT_EQ(frame().size.height, Main::kNormalHeight);
  EXPECT_EQ(top(frame()), top(normal));
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 1);
  EXPECT_FALSE(main->btnVRLOutlet->isEnabled());
  EXPECT_FALSE(main->ultraExtremeMode->isEnabled());
  click(main->ultraExtremeMode);
  click(main->btnVRLOutlet);
  EXPECT_EQ(main->forWhat, "mode");
  EXPECT_EQ(main->changeMode, 0);
  EXPECT_TRUE(VrlUserDefault::shared().blockerState());
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-pin")));

  // Before the master PIN came from the cloud, the empty entry must not pass for it.
  prefs()->removeObject(keys::kMasterPin);
  enterPin(main, "");
  set(keys::kMasterPin, "9876");
  // A PIN with a trailing blank is wrong: the box stays and the radio buttons show the mode in force.
  enterPin(main, "1234 ");
  EXPECT_EQ(alertTexts(), (Strings{"Pin is incorrect", "Pin is incorrect"}));
  EXPECT_FALSE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->extremeMode->state(), ControlStateOn);
  EXPECT_EQ(main->normalMode->state(), ControlStateOff);
  EXPECT_EQ(takeCallers(), Strings{});

  // The user's PIN unlocks it.
  enterPin(main, "1234");
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 0);
  EXPECT_EQ(takeCallers(), Strings{"btnPinContinue(_:)"});
  EXPECT_EQ(servers("Wi-Fi"), (std::set<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->inputPinVrl->stringValue(), "");
  EXPECT_FALSE(main->boxMenu->isHidden());
  EXPECT_TRUE(main->ultraExtremeMode->isEnabled());
  EXPECT_EQ(frame().size.height, Main::kNormalHeight + 150);

  click(main->view()->find<Button>("btnMenuBack"));
  EXPECT_EQ(frame(), normal);
  EXPECT_FALSE(main->boxMain->isHidden());

  // Off needs a PIN; Back leaves protection on.
  click(main->btnVRLOutlet);
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off.");
  click(main->view()->find<Button>("btnBackAskPin"));
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_TRUE(main->btnVRLOutlet->isEnabled());
  EXPECT_TRUE(VrlUserDefault::shared().blockerState());
  EXPECT_EQ(takeCallers(), Strings{});

  // The master PIN unlocks too; the servers are taken away.
  takeSetCalls();
  click(main->btnVRLOutlet);
  enterPin(main, "9876");
  EXPECT_FALSE(VrlUserDefault::shared().blockerState());
  EXPECT_EQ(takeCallers(), Strings{"btnPinContinue(_:)"});
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  EXPECT_FALSE(main->boxMain->isHidden());
}

TEST_F(MainViewTest, PinBoxTakesTheKeysGreysWhatItLocksAndTheMenuFitsTheWindowAtEachHeight) {
  set(keys::kPin, "1234");
  set(keys::kPinProtect, true);
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  auto window = windowController->window();
  const std::vector<std::shared_ptr<platform::appkit::Control>> mainControls = {
      main->btnVRLOutlet, main->btnVersion, main->btnSupportOutlet, main->btnMenuOutlet, main->imgMenu};
  const std::vector<std::shared_ptr<platform::appkit::Control>> menuControls = {
      main->normalMode, main->extremeMode, main->ultraExtremeMode, main->pinProtectMode, main->customBlacklistMode,
      main->fenwixMode, main->btnReportBugOutlet, main->btnUninstallOutlet, main->btnMenuBackOutlet};

  // Each control locked by the box writes its text in the grey of any disabled control, not in the
  // colour the window's style gives enabled ones; and no control of the menu is cut by the window's
  // edge or by a box's.
  auto plain = Button::make(platform::appkit::ButtonType::MomentaryPushIn, "Plain");
  plain->setEnabled(false);
  const platform::appkit::Color disabledText = plain->textColor();
  auto expectLookLocked = [&](const std::vector<std::shared_ptr<platform::appkit::Control>>& controls) {
    for (const auto& control : controls) {
      ASSERT_FALSE(control->isEnabled()) << control->identifier();
      const platform::appkit::Color text = control->textColor();
      EXPECT_EQ(text, disabledText) << control->identifier() << " has the text colour " << text.red << ","
                                    << text.green << "," << text.blue << " while locked";
    }
  };
  auto expectMenuInWindow = [&](double height) {
    spin([] { return false; }, std::chrono::milliseconds(50));
    ASSERT_EQ(frame().size.height, height);
    for (const auto& control : menuControls) {
      for (std::shared_ptr<platform::appkit::View> v = control; v->superview(); v = v->superview()) {
        const platform::appkit::Rect f = v->frame(), box = v->superview()->frame();
        EXPECT_FALSE(v->isHidden()) << v->identifier();
        EXPECT_TRUE(f.origin.x >= 0 && f.origin.y >= 0 && f.origin.x + f.size.width <= box.size.width &&
                    f.origin.y + f.size.height <= box.size.height)
            << control->identifier() << " leaves " << v->superview()->identifier() << " at height " << height;
      }
      const platform::appkit::Rect f = control->frameInWindow();
      EXPECT_TRUE(f.origin.y >= 0 && f.origin.y + f.size.height <= height && f.origin.x >= 0 &&
                  f.origin.x + f.size.width <= frame().size.width)
          << control->identifier() << " is cut at height " << height << ": " << f.origin.y << "+" << f.size.height;
    }
  };

  // Over the main view: the PIN is typed at once, and what the box locks looks locked.
  click(main->btnVRLOutlet);
  click(main->btnVRLOutlet);
  ASSERT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off.");
  EXPECT_EQ(window->firstResponder(), main->inputPinVrl);
  expectLookLocked(mainControls);
  ASSERT_TRUE(window->saveScreenshot(screenshotPath("main-pin-off")));
  click(main->view()->find<Button>("btnBackAskPin"));

  // The menu, 150 points taller, and shrunk back to the normal height when the PIN box opens over it.
  click(main->btnMenuOutlet);
  expectMenuInWindow(Main::kNormalHeight + Main::kMenuExtraHeight);
  click(main->pinProtectMode);
  ASSERT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off pin protect.");
  EXPECT_EQ(window->firstResponder(), main->inputPinVrl);
  expectMenuInWindow(Main::kNormalHeight);
  expectLookLocked(menuControls);
  // What of the menu the box lies over, it hides whole: no letter or half a line shows at its edges.
  const platform::appkit::Rect pinBox = main->boxAskPin->frameInWindow();
  for (const auto& view : main->boxMenu->subviews()) {
    const platform::appkit::Rect f = view->frameInWindow();
    const bool overlaps = f.origin.x < pinBox.origin.x + pinBox.size.width && pinBox.origin.x < f.origin.x + f.size.width &&
                          f.origin.y < pinBox.origin.y + pinBox.size.height && pinBox.origin.y < f.origin.y + f.size.height;
    const bool covered = f.origin.x >= pinBox.origin.x && f.origin.y >= pinBox.origin.y &&
                         f.origin.x + f.size.width <= pinBox.origin.x + pinBox.size.width &&
                         f.origin.y + f.size.height <= pinBox.origin.y + pinBox.size.height;
    EXPECT_TRUE(view->isHidden() || !overlaps || covered) << view->identifier() << " shows beside the PIN box";
  }
  click(main->view()->find<Button>("btnBackAskPin"));
  expectMenuInWindow(Main::kNormalHeight + Main::kMenuExtraHeight);
  EXPECT_TRUE(prefs()->boolForKey(keys::kPinProtect));
}

TEST_F(MainViewTest, CustomBlacklistAndEncryptedDnsNeedTheirPrerequisitesAndGoOffTogether) {
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklistDns, list({"10.9.9.9", "10.9.9.8"}));
  std::vector<bool> proxyChecks;
  AppUtils::setFenwixServiceCheck([&](bool forceRestart) {
    proxyChecks.push_back(forceRestart);
    return true;
  });
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  // The network came up at launch: the public address was looked up on the echo services.
  ASSERT_TRUE(spin([] { return VrlUserDefault::shared().currentIp() == std::string(testing::kPublicIp); }));
  click(main->btnMenuOutlet);
  takeCallers();

  // The proxy needs the custom block list.
  click(main->fenwixMode);
  ASSERT_EQ(alerts->count(), 1u);
  EXPECT_EQ(alerts->alerts()[0],
            (platform::appkit::Alert{"Turn on domain blacklist / whitelist first.", "",
                                     platform::appkit::AlertStyle::Informational, {"OK"}}));
  EXPECT_EQ(main->fenwixMode->state(), ControlStateOff);
  EXPECT_FALSE(VrlUserDefault::shared().fenwixState());

  // The custom block list needs the user's document in the cloud.
  alerts->clear();
  main->customBlacklistMode->performClick();
  ASSERT_TRUE(spin([&] { return alerts->count() == 1; }));
  EXPECT_EQ(alerts->alerts()[0].messageText, "Please turn on custom blacklist on the Android app first.");
  EXPECT_EQ(alerts->alerts()[0].buttons, Strings{"Ok"});
  EXPECT_EQ(main->customBlacklistMode->state(), ControlStateOff);
  EXPECT_FALSE(VrlUserDefault::shared().customBlacklistState());

  ASSERT_TRUE(backend().setDocument("customBlacklist/" + uid, {{"userId", uid}}));
  main->customBlacklistMode->performClick();
  ASSERT_TRUE(spin([] { return VrlUserDefault::shared().customBlacklistState(); }));
  drainDns();
  EXPECT_EQ(takeCallers(), Strings{"customBlacklistClick(_:)"});
  EXPECT_EQ(servers("Wi-Fi"), (std::set<std::string>{"10.9.9.9", "10.9.9.8"}));
  EXPECT_EQ(main->customBlacklistMode->state(), ControlStateOn);
  // The block mode and the public address reach the user's document.
  nlohmann::json fields;
  ASSERT_TRUE(spin([&] {
    fields = backend().getDocument("customBlacklist/" + uid)["fields"];
    return fields.contains("blockMode");
  }));
  EXPECT_EQ(fields["blockMode"], 0);
  EXPECT_EQ(fields["userId"], uid);
  EXPECT_EQ(fields["latestIpAddress"], nlohmann::json::array({testing::kPublicIp}));

  click(main->fenwixMode);
  EXPECT_TRUE(VrlUserDefault::shared().fenwixState());
  EXPECT_EQ(takeCallers(), Strings{"fenwixClick(_:)"});
  EXPECT_EQ(proxyChecks, std::vector<bool>{false});
  EXPECT_EQ(servers("Ethernet"), std::set<std::string>{"127.0.0.1"});

  // Under PIN protection Back undoes the click on the checkbox.
  set(keys::kMasterPin, "2468");
  set(keys::kPinProtect, true);
  click(main->customBlacklistMode);
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off custom blacklist");
  EXPECT_FALSE(main->fenwixMode->isEnabled());
  click(main->view()->find<Button>("btnBackAskPin"));
  EXPECT_EQ(main->customBlacklistMode->state(), ControlStateOn);
  EXPECT_TRUE(VrlUserDefault::shared().customBlacklistState());

  // Turning PIN protection off takes the master PIN when no user PIN is stored.
  click(main->pinProtectMode);
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off pin protect.");
  enterPin(main, "2468");
  EXPECT_FALSE(prefs()->boolForKey(keys::kPinProtect));
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOff);

  // The custom block list goes off with the proxy.
  click(main->customBlacklistMode);
  EXPECT_FALSE(VrlUserDefault::shared().customBlacklistState());
  EXPECT_FALSE(VrlUserDefault::shared().fenwixState());
  EXPECT_EQ(main->fenwixMode->state(), ControlStateOff);
  EXPECT_EQ(takeCallers(), Strings{"customBlacklistClick(_:)"});
  EXPECT_EQ(servers("Wi-Fi"), (std::set<std::string>{"10.0.0.1", "10.0.0.2"}));
}

TEST_F(MainViewTest, DnsCheckAtStartRequestsDnsOnlyWhenNoModeListIsInForce) {
  // Protection on, the extreme list in force while the normal mode is chosen: nothing to do.
  set(keys::kBlockerState, true);
  ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([](std::vector<platform::NetworkService>& all) {
    for (auto& s : all) s.dnsServers = {"10.0.1.1", "10.0.1.2"};
    return true;
  }));
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  EXPECT_EQ(takeCallers(), Strings{});
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");

  auto storyboard = platform::appkit::Storyboard::storyboardWithName("Main");
  // The custom block list on and its servers not in force (the proxy may hold the DNS): no request.
  set(keys::kCustomBlacklist, true);
  set(keys::kCustomBlacklistDns, list({"10.9.9.9"}));
  auto withList = storyboard->instantiateController<Main>("Vorellin");
  withList->view();
  drainDns();
  EXPECT_EQ(takeCallers(), Strings{});
  EXPECT_EQ(withList->btnVRLOutlet->image()->name(), "Circle On");

  // No mode list in force: exactly one request, which puts the chosen mode's servers in place.
  set(keys::kCustomBlacklist, false);
  ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([](std::vector<platform::NetworkService>& all) {
    for (auto& s : all) s.dnsServers.clear();
    return true;
  }));
  takeSetCalls();
  auto fresh = storyboard->instantiateController<Main>("Vorellin");
  fresh->view();
  drainDns();
  EXPECT_EQ(takeCallers(), Strings{"checkDns()"});
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.0.1 10.0.0.2", "Ethernet:10.0.0.1 10.0.0.2"}));
  EXPECT_EQ(fresh->btnVRLOutlet->image()->name(), "Circle On");
}

// Settings that cannot be read never switch protection off, whether the cloud answers or not: what the
// listeners and the public-IP refresh store waits in memory, the file and the Mac's DNS stay as they are,
// and only a change made in the window replaces the file (kept aside) with everything held.
TEST_F(MainViewTest, DamagedSettingsLeaveTheDnsAloneUntilASettingIsChangedInTheWindow) {
  const std::filesystem::path path = prefs()->filePath();
  auto keptAside = [&] {
    Strings contents;
    for (const auto& file : asideFiles()) contents.push_back(readFile(file));
    std::sort(contents.begin(), contents.end());
    return contents;
  };
  auto damage = [] { return damageSettings(); };
  const std::set<std::string> normal = {"10.0.0.1", "10.0.0.2"}, cloudNormal = {"10.0.5.1", "10.0.5.2"};

  set(keys::kBlockerState, true);
  set(keys::kPinProtect, true);
  set(keys::kPin, "1357");
  ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([](std::vector<platform::NetworkService>& all) {
    for (auto& s : all) s.dnsServers = {"10.0.0.1", "10.0.0.2"};
    return true;
  }));
  ASSERT_TRUE(backend().setDocument("dnsServers/blockModes", {{"normal", {{"ipv4", {"10.0.5.1", "10.0.5.2"}}}},
                                                              {"extreme", {{"ipv4", {"10.0.6.1"}}}},
                                                              {"ultraExtreme", {{"ipv4", {"10.0.7.1"}}}}}));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  const std::string firstDamage = damage();

  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(spin([] {
    const VrlUserDefault& settings = VrlUserDefault::shared();
    return settings.getDnsPreferences(0) == Strings{"10.0.5.1", "10.0.5.2"} && settings.getPin(keys::kPin) == "2468" &&
           settings.currentIp() == std::string(testing::kPublicIp);
  })) << ::testing::PrintToString(prefs()->dictionaryRepresentation());
  drainDns();
  EXPECT_EQ(readFile(path), firstDamage);
  EXPECT_EQ(keptAside(), Strings{});
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), normal);
  // The resolvers in force are on none of the lists the cloud gives: nothing tells protection is on.
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  const auto launchErrors = log->texts(platform::logging::LogFlag::Error, "applicationDidFinishLaunching(_:)");
  ASSERT_EQ(launchErrors.size(), 1u);
  EXPECT_EQ(launchErrors[0].rfind("Settings cannot be read; ", 0), 0u) << launchErrors[0];

  // Protection switched on in the window: everything held is written and applied.
  click(main->btnVRLOutlet);
  EXPECT_EQ(keptAside(), Strings{firstDamage});
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.5.1 10.0.5.2", "Ethernet:10.0.5.1 10.0.5.2"}));
  EXPECT_EQ(servers("Wi-Fi"), cloudNormal);
  {
    platform::UserDefaults written(kDefaultsDomain);
    EXPECT_FALSE(written.readError());
    EXPECT_TRUE(written.boolForKey(keys::kBlockerState));
    EXPECT_EQ(written.stringArrayForKey(keys::kNormal), (Strings{"10.0.5.1", "10.0.5.2"}));
    EXPECT_EQ(written.stringForKey(keys::kPin), "2468");
    EXPECT_EQ(written.stringForKey(keys::kCurrentIp), testing::kPublicIp);
  }

  // The cloud out of reach, the file damaged again: the same, until a mode is chosen in the menu. The
  // lists come from the database's own copy, and the normal one is in force.
  backend().stop();
  const std::string secondDamage = damage();
  relaunch();
  main = waitForContent<Main>();
  ASSERT_TRUE(main);
  ASSERT_TRUE(spin([] {
    const VrlUserDefault& settings = VrlUserDefault::shared();
    return settings.currentIp() == std::string(testing::kPublicIp) && settings.getDnsPreferences(1) == Strings{"10.0.6.1"};
  }));
  drainDns();
  EXPECT_EQ(readFile(path), secondDamage);
  EXPECT_EQ(keptAside(), Strings{firstDamage});
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), cloudNormal);
  click(main->btnMenuOutlet);
  click(main->extremeMode);
  Strings bothDamages = {firstDamage, secondDamage};
  std::sort(bothDamages.begin(), bothDamages.end());
  EXPECT_EQ(keptAside(), bothDamages);
  {
    platform::UserDefaults written(kDefaultsDomain);
    EXPECT_FALSE(written.readError());
    EXPECT_EQ(written.integerForKey(keys::kBlockerMode), 1);
    EXPECT_TRUE(written.boolForKey(keys::kBlockerState));
    EXPECT_EQ(written.stringForKey(keys::kCurrentIp), testing::kPublicIp);
  }
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.6.1", "Ethernet:10.0.6.1"}));
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// Over a settings file that cannot be read, whether damaged under the running application or before it
// starts, protection, the block mode and PIN protection are what the Mac has in force: the window shows
// them as soon as the cloud's lists and PIN are known, every action the PIN guards asks for it, and what
// is written in the file's place keeps them, so that no wake, restart or write of another key clears the
// DNS. Nothing is put back into memory by hand: what the application holds, it read from the file before
// the damage or heard from the cloud (the backend stand-in or the database's own copy).
TEST_F(MainViewTest, UnreadableSettingsReadAsWhatIsInForceAndWhatReplacesThemKeepsIt) {
  const std::set<std::string> ultra = {"10.0.2.1", "10.0.2.2"}, extreme = {"10.0.1.1", "10.0.1.2"};
  ASSERT_TRUE(backend().setDocument("dnsServers/blockModes", {{"normal", {{"ipv4", {"10.0.0.1", "10.0.0.2"}}}},
                                                              {"extreme", {{"ipv4", {"10.0.1.1", "10.0.1.2"}}}},
                                                              {"ultraExtreme", {{"ipv4", {"10.0.2.1", "10.0.2.2"}}}}}));
  set(keys::kBlockerState, true);
  set(keys::kBlockerMode, platform::Value(int64_t(2)));
  set(keys::kPinProtect, true);
  ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([](std::vector<platform::NetworkService>& all) {
    for (auto& s : all) s.dnsServers = {"10.0.2.1", "10.0.2.2"};
    return true;
  }));
  std::shared_ptr<Main> main;
  // What the next start reads, and what the Mac uses: protection on, in the mode given.
  auto expectProtected = [&](int64_t mode, const std::set<std::string>& list, bool pinProtect) {
    SCOPED_TRACE("mode " + std::to_string(mode) + (pinProtect ? ", PIN protection on" : ", PIN protection off"));
    platform::UserDefaults file(kDefaultsDomain);
    EXPECT_FALSE(file.readError());
    EXPECT_TRUE(file.boolForKey(keys::kBlockerState));
    EXPECT_EQ(file.integerForKey(keys::kBlockerMode), mode);
    EXPECT_EQ(file.boolForKey(keys::kPinProtect), pinProtect);
    EXPECT_EQ(servers("Wi-Fi"), list);
    EXPECT_EQ(servers("Ethernet"), list);
  };
  auto restart = [&] {
    relaunch();
    main = waitForContent<Main>();
    ASSERT_TRUE(main);
    drainDns();
  };
  // A wake, then a new start: neither touches the DNS, and the window shows protection on.
  auto wakeAndRestart = [&] {
    platform::appkit::Workspace::shared().postDidWake();
    drainDns();
    restart();
    EXPECT_EQ(takeSetCalls(), Strings{});
    EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  };
  // Another program's write of another key over the damaged file is refused and leaves it as it is; the
  // next wake keeps the DNS as it is.
  auto defaultsWriteAndWake = [&] {
    const std::string damaged = readFile(prefs()->filePath());
    const std::string command = std::string("defaults write ") + kDefaultsDomain + " SUHasLaunchedBefore -bool true";
    EXPECT_EQ(AppUtils::shellResult(command).status, 1);
    EXPECT_EQ(readFile(prefs()->filePath()), damaged);
    platform::appkit::Workspace::shared().postDidWake();
    drainDns();
    EXPECT_EQ(takeSetCalls(), Strings{});
    EXPECT_EQ(servers("Wi-Fi"), ultra);
    EXPECT_EQ(servers("Ethernet"), ultra);
  };
  auto back = [&] { click(main->view()->find<Button>("btnBackAskPin")); };
  // The click opens the PIN box with the prompt given; Back leaves everything as it was.
  auto asksPin = [&](const std::shared_ptr<Button>& button, const std::string& prompt) {
    click(button);
    EXPECT_EQ(main->labelAskPin->stringValue(), prompt);
    EXPECT_FALSE(main->boxAskPin->isHidden()) << prompt;
    back();
  };
  // The power button asks for the PIN and the empty entry does not pass.
  auto emptyEntryCannotTurnOff = [&] {
    alerts->clear();
    click(main->btnVRLOutlet);
    EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off.");
    enterPin(main, "");
    EXPECT_EQ(alertTexts(), Strings{"Pin is incorrect"});
    EXPECT_FALSE(main->boxAskPin->isHidden());
    back();
  };
  // The window opened after a start: the cloud's lists (and its answer for the user's PIN) arrive when
  // the database delivers them.
  auto cloudHeard = [&] {
    return spin([] {
      const VrlUserDefault& settings = VrlUserDefault::shared();
      return settings.getDnsPreferences(2) == Strings{"10.0.2.1", "10.0.2.2"} && settings.userPinKnown();
    });
  };

  // Started over a damaged file, the user has no PIN in the cloud: PIN protection reads off, and ticking
  // it writes protection and the mode too.
  damageSettings();
  main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(prefs()->readError());
  ASSERT_TRUE(cloudHeard());
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->ultraExtremeMode->state(), ControlStateOn);
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOff);
  click(main->pinProtectMode);
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(takeSetCalls(), Strings{});
  expectProtected(2, ultra, true);
  wakeAndRestart();
  expectProtected(2, ultra, true);

  // Damaged again and started over it: still no PIN, so PIN protection reads off; the window follows
  // the cloud when the user's PIN arrives there, and the PIN then guards what it guards.
  damageSettings();
  restart();
  ASSERT_TRUE(cloudHeard());
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOff);
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  EXPECT_TRUE(spin([&] { return main->pinProtectMode->state() == ControlStateOn; }));
  EXPECT_EQ(main->ultraExtremeMode->state(), ControlStateOn);
  asksPin(main->pinProtectMode, "Enter pin to turn off pin protect.");
  // A lower mode, with the PIN: the file written in place of the damaged one keeps protection on.
  click(main->extremeMode);
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to change block mode.");
  enterPin(main, "2468");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.1.1 10.0.1.2", "Ethernet:10.0.1.1 10.0.1.2"}));
  expectProtected(1, extreme, true);
  wakeAndRestart();
  expectProtected(1, extreme, true);

  // Damaged under the running application: what it read before stays, so every guarded action asks for
  // the PIN, and no entry but the PIN passes.
  const std::string damaged = damageSettings();
  ASSERT_TRUE(prefs()->readError());
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  emptyEntryCannotTurnOff();
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->extremeMode->state(), ControlStateOn);
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOn);
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-settings-menu")));
  asksPin(main->pinProtectMode, "Enter pin to turn off pin protect.");
  asksPin(main->normalMode, "Enter pin to change block mode.");
  asksPin(main->btnUninstallOutlet, "Enter pin to uninstall the app.");
  EXPECT_EQ(content<Main>(), main);
  EXPECT_EQ(readFile(prefs()->filePath()), damaged);
  EXPECT_EQ(takeSetCalls(), Strings{});
  // A stricter mode needs no PIN; what replaces the file keeps protection, PIN protection and the PIN.
  click(main->ultraExtremeMode);
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.2.1 10.0.2.2", "Ethernet:10.0.2.1 10.0.2.2"}));
  expectProtected(2, ultra, true);
  EXPECT_EQ(platform::UserDefaults(kDefaultsDomain).stringForKey(keys::kPin), "2468");
  // Damaged under it again, then another key written over it and a wake: the damage stays for the
  // application to see, the DNS stays as it is, also at the next start, and the PIN still guards.
  damageSettings();
  ASSERT_TRUE(prefs()->readError());
  defaultsWriteAndWake();
  EXPECT_TRUE(prefs()->readError());
  EXPECT_FALSE(prefs()->boolForKey("SUHasLaunchedBefore"));
  click(main->btnMenuBackOutlet);
  asksPin(main->btnVRLOutlet, "Enter pin to turn off.");
  wakeAndRestart();

  // Damaged, the cloud out of reach, and started over it: the lists and the PIN come from the
  // database's own copy, the window shows what is in force and the PIN guards as before.
  backend().stop();
  damageSettings();
  restart();
  ASSERT_TRUE(cloudHeard());
  ASSERT_TRUE(spin([] { return VrlUserDefault::shared().getPin(keys::kPin) == "2468"; }));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-settings")));
  asksPin(main->btnVRLOutlet, "Enter pin to turn off.");
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->ultraExtremeMode->state(), ControlStateOn);
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOn);
  asksPin(main->pinProtectMode, "Enter pin to turn off pin protect.");
  asksPin(main->extremeMode, "Enter pin to change block mode.");
  asksPin(main->btnUninstallOutlet, "Enter pin to uninstall the app.");
  EXPECT_EQ(takeSetCalls(), Strings{});
  defaultsWriteAndWake();
  wakeAndRestart();
  EXPECT_EQ(asideFiles().size(), 3u);

  // The moment after a start over a damaged file before the listeners have answered, held by putting
  // the application's memory back to a new process's: the user's PIN is not known yet, so PIN
  // protection reads on and no entry passes, not even the empty one that opens a box when no PIN exists.
  damageSettings();
  restart();
  VrlUserDefault::shared().resetForTesting();
  emptyEntryCannotTurnOff();
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), ultra);
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// Over a settings file that cannot be read, the cloud's answer about the PIN is the answer for the user
// it was given for. Another user who signs in on this computer has their PIN guard everything from the
// start: until the cloud has answered for them, PIN protection reads on and the empty entry does not
// pass, whatever the previous user's listeners heard meanwhile.
TEST_F(MainViewTest, AfterAUserChangeOverUnreadableSettingsTheNewUsersPinGuardsBeforeTheCloudAnswers) {
  ASSERT_TRUE(backend().setDocument("dnsServers/blockModes", {{"normal", {{"ipv4", {"10.0.0.1", "10.0.0.2"}}}},
                                                              {"extreme", {{"ipv4", {"10.0.1.1", "10.0.1.2"}}}},
                                                              {"ultraExtreme", {{"ipv4", {"10.0.2.1", "10.0.2.2"}}}}}));
  const std::string beaEmail = "bea@vorellin.test", beaPassword = "bea-password";
  const std::string bea = backend().identity().addUser(backend::TestBackend::passwordUser(beaEmail, beaPassword));
  ASSERT_TRUE(backend().setDocument("pin/" + bea, {{"userId", bea}, {"pin", "1357"}}));
  set(keys::kBlockerState, true);
  set(keys::kBlockerMode, platform::Value(int64_t(2)));
  ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([](std::vector<platform::NetworkService>& all) {
    for (auto& s : all) s.dnsServers = {"10.0.2.1", "10.0.2.2"};
    return true;
  }));
  const VrlUserDefault& settings = VrlUserDefault::shared();

  // Started over a damaged file, Ann has no PIN in the cloud: once it said so, PIN protection reads off.
  damageSettings();
  std::shared_ptr<Main> main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(prefs()->readError());
  ASSERT_TRUE(spin([&] { return settings.getDnsPreferences(2) == Strings{"10.0.2.1", "10.0.2.2"} && settings.userPinKnown(); }));
  EXPECT_FALSE(settings.pinProtectState());

  // Ann signs out and Bea signs in. Until the main view opens the listeners for her, Ann's are still
  // open, and the cloud refuses Ann's documents to Bea.
  const auto refusals = [&] {
    size_t n = 0;
    for (const auto& text : log->texts(platform::logging::LogFlag::Verbose, "listenToPin(uid:)"))
      n += text.find("Missing or insufficient permissions.") != std::string::npos;
    return n;
  };
  ASSERT_EQ(refusals(), 0u);
  platform::ErrorPtr error;
  ASSERT_TRUE(DAVAuth::auth()->signOut(&error));
  bool signedIn = false;
  DAVAuth::auth()->signInWithEmail(beaEmail, beaPassword, [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) {
    error = e;
    signedIn = true;
  });
  ASSERT_TRUE(spin([&] { return signedIn; }));
  ASSERT_FALSE(error) << error->description();
  ASSERT_TRUE(spin([&] { return refusals() > 0; }));
  CloudCollections::shared().listenAllChanges();

  // Before the cloud answers for Bea, the power button asks for the PIN and the empty entry does not pass.
  alerts->clear();
  click(main->btnVRLOutlet);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off.");
  enterPin(main, "");
  EXPECT_EQ(alertTexts(), Strings{"Pin is incorrect"});
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), (std::set<std::string>{"10.0.2.1", "10.0.2.2"}));

  // Her PIN arrives and opens the box.
  ASSERT_TRUE(spin([&] { return settings.getPin(keys::kPin) == "1357"; }));
  EXPECT_TRUE(settings.pinProtectState());
  enterPin(main, "1357");
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

}  // namespace
}  // namespace vorellin
