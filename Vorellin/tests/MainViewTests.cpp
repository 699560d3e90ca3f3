// The main view against the simulated Mac and the backend stand-in: protection on and off, the block
// modes, the menu's switches, the PIN box, and the DNS check when the view starts. Every click goes
// through the real control; the DNS requests it queues run on the DNS-transition queue and reach the
// simulated Mac's networksetup.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "Vorellin/dnscrypt/FenwixHelper.h"
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

  // Every enabled service set to these resolvers, as if by an earlier run.
  static void inForce(const Strings& list) {
    ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([&](std::vector<platform::NetworkService>& all) {
      for (auto& s : all) s.dnsServers = list;
      return true;
    }));
  }
  // Protection on in the strictest mode under PIN protection, its resolvers in force.
  static void protectedInTheStrictestMode() {
    set(keys::kBlockerState, true);
    set(keys::kBlockerMode, platform::Value(int64_t(2)));
    set(keys::kPinProtect, true);
    inForce({"10.0.2.1", "10.0.2.2"});
  }
  // The cloud's resolver lists of the three modes.
  bool modesInCloud(const Strings& normal, const Strings& extreme, const Strings& ultra) {
    return !!backend().setDocument("dnsServers/blockModes", {{"normal", {{"ipv4", normal}}},
                                                           {"extreme", {{"ipv4", extreme}}},
                                                           {"ultraExtreme", {{"ipv4", ultra}}}});
  }
  // Another program puts a file holding only a key of its own in place of the unreadable one.
  static void anotherProgramWritesItsKey() {
    platform::UserDefaults other(kDefaultsDomain);
    other.set("SUHasLaunchedBefore", true);
    ASSERT_TRUE(other.synchronizeReplacingUnreadable());
  }
  // What the next start reads from the file.
  static void expectFileProtects(int64_t mode, bool customBlacklist = false, bool fenwix = false) {
    platform::UserDefaults file(kDefaultsDomain);
    EXPECT_FALSE(file.readError());
    EXPECT_TRUE(file.boolForKey(keys::kBlockerState));
    EXPECT_EQ(file.integerForKey(keys::kBlockerMode), mode);
    EXPECT_TRUE(file.boolForKey(keys::kPinProtect));
    EXPECT_EQ(file.boolForKey(keys::kCustomBlacklist), customBlacklist);
    EXPECT_EQ(file.boolForKey(keys::kFenwixState), fenwix);
  }
  // The click opens the PIN box with the prompt given; Back leaves everything as it was.
  void asksPin(const std::shared_ptr<Main>& main, const std::shared_ptr<Button>& button, const std::string& prompt) {
    alerts->clear();
    click(button);
    EXPECT_EQ(alertTexts(), Strings{});
    EXPECT_FALSE(main->boxAskPin->isHidden()) << prompt;
    EXPECT_EQ(main->labelAskPin->stringValue(), prompt);
    click(main->view()->find<Button>("btnBackAskPin"));
  }
  // The power button and a lower mode both wait for the PIN, and nothing reaches the DNS; over settings
  // that cannot be read the prompt says so first.
  void expectOffAndLowerModeAskPin(const std::shared_ptr<Main>& main, const std::string& why = "") {
    asksPin(main, main->btnVRLOutlet, why + "Enter pin to turn off.");
    click(main->btnMenuOutlet);
    asksPin(main, main->extremeMode, why + "Enter pin to change block mode.");
    click(main->btnMenuBackOutlet);
    EXPECT_EQ(takeSetCalls(), Strings{});
  }
  std::shared_ptr<Main> restart(bool withoutDatabaseCopy = false) {
    relaunch(withoutDatabaseCopy);
    auto main = waitForContent<Main>();
    EXPECT_TRUE(main);
    drainDns();
    return main;
  }
  // The user's PIN and the master PIN as the cloud gave them, once the listeners have answered.
  bool pinsHeard(const std::string& pin, const std::string& masterPin = "") {
    return spin([&] {
      const VrlUserDefault& settings = VrlUserDefault::shared();
      return settings.userPinKnown() && settings.getPin(keys::kPin) == (pin.empty() ? masterPin : pin) &&
             settings.getPin(keys::kMasterPin) == masterPin;
    });
  }

  // The settings damaged, then a start with the cloud out of reach (stopped before) and without the
  // database's own copy of its documents, until the listener of the user's PIN has been given that
  // copy's empty result (whether it counts it as an answer or not).
  std::shared_ptr<Main> restartDamagedWithoutDatabaseCopy() {
    damageSettings();
    auto main = restart(true);
    EXPECT_TRUE(spin([&] {
      if (VrlUserDefault::shared().userPinKnown()) return true;
      const Strings lines = log->texts(platform::logging::LogFlag::Verbose, "listenToPin(uid:)");
      return std::any_of(lines.begin(), lines.end(),
                         [](const std::string& line) { return line.rfind("No PIN of the user in the local copy", 0) == 0; });
    }));
    alerts->clear();
    return main;
  }

  static constexpr const char* kUnreadable = "Settings cannot be read. ";
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
  set(keys::kBlockerState, true);
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  // The launch's reachability event switches the DNS while the launch's own check reads it, so
  // that check may find a list half in place; each case below loads a view once the DNS is still.
  takeCallers();

  // Protection on, the extreme list in force while the normal mode is chosen: nothing to do.
  ASSERT_TRUE(platform::SimulatedMac::updateNetworkServices([](std::vector<platform::NetworkService>& all) {
    for (auto& s : all) s.dnsServers = {"10.0.1.1", "10.0.1.2"};
    return true;
  }));
  auto storyboard = platform::appkit::Storyboard::storyboardWithName("Main");
  auto otherMode = storyboard->instantiateController<Main>("Vorellin");
  otherMode->view();
  drainDns();
  EXPECT_EQ(takeCallers(), Strings{});
  EXPECT_EQ(otherMode->btnVRLOutlet->image()->name(), "Circle On");

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
// and only a change made in the window, with the PIN, replaces the file (kept aside) with everything held.
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
  // The resolvers in force are on none of the lists the cloud gives, yet they are the services' own:
  // protection reads on, in the strictest mode as nothing read tells another.
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  const auto launchErrors = log->texts(platform::logging::LogFlag::Error, "applicationDidFinishLaunching(_:)");
  ASSERT_EQ(launchErrors.size(), 1u);
  EXPECT_EQ(launchErrors[0].rfind("Settings cannot be read; ", 0), 0u) << launchErrors[0];

  // The normal mode chosen in the window, with the PIN: everything held is written and applied.
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->ultraExtremeMode->state(), ControlStateOn);
  click(main->normalMode);
  EXPECT_EQ(keptAside(), Strings{});
  enterPin(main, "2468");
  EXPECT_EQ(keptAside(), Strings{firstDamage});
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.5.1 10.0.5.2", "Ethernet:10.0.5.1 10.0.5.2"}));
  EXPECT_EQ(servers("Wi-Fi"), cloudNormal);
  {
    platform::UserDefaults written(kDefaultsDomain);
    EXPECT_FALSE(written.readError());
    EXPECT_TRUE(written.boolForKey(keys::kBlockerState));
    EXPECT_EQ(written.integerForKey(keys::kBlockerMode), 0);
    EXPECT_TRUE(written.boolForKey(keys::kPinProtect));
    EXPECT_EQ(written.stringArrayForKey(keys::kNormal), (Strings{"10.0.5.1", "10.0.5.2"}));
    EXPECT_EQ(written.stringForKey(keys::kPin), "2468");
    EXPECT_EQ(written.stringForKey(keys::kCurrentIp), testing::kPublicIp);
  }

  // The cloud out of reach, the file damaged again: the same, until a mode is chosen in the menu with
  // the PIN. The lists and the PIN come from the database's own copy, and the normal list is in force.
  backend().stop();
  const std::string secondDamage = damage();
  relaunch();
  main = waitForContent<Main>();
  ASSERT_TRUE(main);
  ASSERT_TRUE(spin([] {
    const VrlUserDefault& settings = VrlUserDefault::shared();
    return settings.currentIp() == std::string(testing::kPublicIp) && settings.getDnsPreferences(1) == Strings{"10.0.6.1"} &&
           settings.userPinKnown() && settings.getPin(keys::kPin) == "2468";
  }));
  drainDns();
  EXPECT_EQ(readFile(path), secondDamage);
  EXPECT_EQ(keptAside(), Strings{firstDamage});
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), cloudNormal);
  click(main->btnMenuOutlet);
  click(main->extremeMode);
  EXPECT_EQ(keptAside(), Strings{firstDamage});
  enterPin(main, "2468");
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

// Over a settings file that cannot be read, what the window lets through follows what is known of the
// PIN. With no PIN anywhere (the cloud said so) nothing is asked, and the first change writes the
// protection held with it. Once the user's PIN comes from the cloud (or, out of its reach, from the
// database's own copy) every change of protection waits for it, a stricter mode and uninstalling
// included; while nothing is known of it yet (the cloud out of reach, the database's copy empty), every
// change is refused until the cloud answers. Nothing is put back into memory by hand: what the
// application holds, it read from the file before the damage or heard from the cloud.
TEST_F(MainViewTest, UnreadableSettingsLetAChangeThroughOnlyWithWhatIsKnownOfThePin) {
  const std::set<std::string> ultra = {"10.0.2.1", "10.0.2.2"}, extreme = {"10.0.1.1", "10.0.1.2"};
  ASSERT_TRUE(modesInCloud({"10.0.0.1", "10.0.0.2"}, {"10.0.1.1", "10.0.1.2"}, {"10.0.2.1", "10.0.2.2"}));
  // The mode the cloud recorded when the custom block list was last on, below the mode in force: where
  // nothing read tells the mode, the one in force stands.
  ASSERT_TRUE(backend().setDocument("customBlacklist/" + uid, {{"userId", uid}, {"blockMode", 0}}));
  set(keys::kBlockerState, true);
  set(keys::kBlockerMode, platform::Value(int64_t(1)));
  set(keys::kPinProtect, true);
  inForce({"10.0.1.1", "10.0.1.2"});
  auto pinProtectShows = [](const std::shared_ptr<Main>& main, platform::appkit::ControlState state) {
    return spin([&] { return main->pinProtectMode->state() == state; });
  };

  // Started over a damaged file, the cloud says there is no PIN: PIN protection reads off, and ticking
  // it asks nothing and writes protection and the mode with it.
  damageSettings();
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(prefs()->readError());
  click(main->btnMenuOutlet);
  ASSERT_TRUE(pinProtectShows(main, ControlStateOff));
  ASSERT_TRUE(spin([&] { return main->extremeMode->state() == ControlStateOn; }));
  click(main->pinProtectMode);
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(takeSetCalls(), Strings{});
  expectFileProtects(1);

  // Damaged again and started over it: still no PIN, until the user's comes from the cloud. Then every
  // change of protection waits for it, and nothing reaches the file or the DNS.
  const std::string damaged = damageSettings();
  main = restart();
  ASSERT_TRUE(main);
  click(main->btnMenuOutlet);
  ASSERT_TRUE(pinProtectShows(main, ControlStateOff));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  EXPECT_TRUE(pinProtectShows(main, ControlStateOn));
  EXPECT_EQ(main->extremeMode->state(), ControlStateOn);
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-settings-menu")));
  const std::string why = kUnreadable;
  click(main->pinProtectMode);
  EXPECT_EQ(main->labelAskPin->stringValue(), why + "Enter pin to turn off pin protect.");
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-settings-pin")));
  click(main->view()->find<Button>("btnBackAskPin"));
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOn);
  asksPin(main, main->normalMode, why + "Enter pin to change block mode.");
  asksPin(main, main->ultraExtremeMode, why + "Enter pin to change block mode.");
  asksPin(main, main->customBlacklistMode, why + "Enter pin to turn on custom blacklist");
  asksPin(main, main->btnUninstallOutlet, why + "Enter pin to uninstall the app.");
  EXPECT_EQ(content<Main>(), main);
  click(main->btnMenuBackOutlet);
  asksPin(main, main->btnVRLOutlet, why + "Enter pin to turn off.");
  EXPECT_EQ(readFile(prefs()->filePath()), damaged);
  EXPECT_EQ(takeSetCalls(), Strings{});
  // No entry but the PIN opens the box; with it, the stricter mode is written and applied.
  click(main->btnMenuOutlet);
  click(main->ultraExtremeMode);
  enterPin(main, "");
  enterPin(main, "1357");
  EXPECT_EQ(alertTexts(), (Strings{"Pin is incorrect", "Pin is incorrect"}));
  EXPECT_EQ(takeSetCalls(), Strings{});
  enterPin(main, "2468");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.2.1 10.0.2.2", "Ethernet:10.0.2.1 10.0.2.2"}));
  expectFileProtects(2);
  EXPECT_EQ(platform::UserDefaults(kDefaultsDomain).stringForKey(keys::kPin), "2468");

  // Damaged, the cloud out of reach, and started over it: the PIN comes from the database's own copy
  // and guards as before.
  backend().stop();
  damageSettings();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("2468"));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-settings")));
  asksPin(main, main->btnVRLOutlet, std::string(kUnreadable) + "Enter pin to turn off.");
  EXPECT_EQ(takeSetCalls(), Strings{});

  // Damaged, the cloud still out of reach and the database's own copy gone: the copy's empty answers
  // tell nothing of the PIN, so every change is refused, and the person is told why. Once the cloud is
  // back its answer comes, and the PIN turns protection off.
  main = restartDamagedWithoutDatabaseCopy();
  ASSERT_TRUE(main);
  click(main->btnVRLOutlet);
  click(main->btnMenuOutlet);
  click(main->pinProtectMode);
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOn);
  ASSERT_EQ(alerts->count(), 2u);
  for (const auto& alert : alerts->alerts()) {
    EXPECT_EQ(alert.messageText, "Settings cannot be read and your PIN is not known yet.");
    EXPECT_EQ(alert.informativeText, "Protection stays as it is. Try again once Vorellin has reached the cloud.");
  }
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), ultra);
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-pin-not-known-menu")));
  click(main->btnMenuBackOutlet);
  backend().start();
  ASSERT_TRUE(pinsHeard("2468"));
  click(main->btnVRLOutlet);
  EXPECT_EQ(main->labelAskPin->stringValue(), why + "Enter pin to turn off.");
  enterPin(main, "2468");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// From a Mac protected in the strictest mode under PIN protection, the cloud moves that mode's
// resolvers while the settings file cannot be read, under the running application and before a start.
// The DNS in force is then on none of the cloud's lists and nothing read tells the mode at a start, yet
// the window shows protection on in the mode last read (the strictest where nothing was read, whatever
// mode the cloud recorded when the custom block list was last on), off and a lower mode wait for the
// PIN, the DNS follows the cloud's new list for the mode read at once, as over an intact file, and what
// replaces the file keeps protection and the mode: no wake or restart clears the DNS or lowers it.
TEST_F(MainViewTest, OverUnreadableSettingsAMovedModeListIsFollowedAndNeitherShowsNorWritesProtectionOff) {
  const Strings normal = {"10.0.0.1", "10.0.0.2"}, extreme = {"10.0.1.1", "10.0.1.2"};
  ASSERT_TRUE(modesInCloud(normal, extreme, {"10.0.3.1"}));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  // A mode recorded when the custom block list was last on: it tells nothing of the mode now.
  ASSERT_TRUE(backend().setDocument("customBlacklist/" + uid, {{"userId", uid}, {"blockMode", 0}}));
  protectedInTheStrictestMode();
  auto strictestListIs = [](const std::string& address) {
    return spin([&] { return VrlUserDefault::shared().getDnsPreferences(2) == Strings{address}; });
  };

  // Intact: the DNS follows the strictest mode's new list at once; off and lower wait for the PIN.
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("2468"));
  ASSERT_TRUE(spin([&] {
    drainDns();
    return servers("Wi-Fi") == std::set<std::string>{"10.0.3.1"};
  }));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  takeSetCalls();
  expectOffAndLowerModeAskPin(main);

  // Damaged under the running application, then the list moves again: the DNS follows it, and the
  // window still shows protection on in the strictest mode.
  damageSettings();
  ASSERT_TRUE(modesInCloud(normal, extreme, {"10.0.4.1"}));
  ASSERT_TRUE(strictestListIs("10.0.4.1"));
  drainDns();
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.4.1", "Ethernet:10.0.4.1"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->ultraExtremeMode->state(), ControlStateOn);
  click(main->btnMenuBackOutlet);
  expectOffAndLowerModeAskPin(main, kUnreadable);
  // Another program's file in place of the damaged one, then a wake: the DNS stays on the strictest
  // mode's new list, and the next start reads protection on in that mode.
  anotherProgramWritesItsKey();
  platform::appkit::Workspace::shared().postDidWake();
  drainDns();
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>{"10.0.4.1"});
  expectFileProtects(2);

  // The list moved again while Vorellin was not running (the Mac still on the old one), damaged, and a
  // start that has read nothing: protection on in the strictest mode, but nothing tells that the
  // resolvers in force, on no list known in this run, were that mode's (they might be the custom block
  // list's), so they stay until a change with the PIN.
  ASSERT_TRUE(modesInCloud(normal, extreme, {"10.0.5.1"}));
  ASSERT_TRUE(spin([&] {
    drainDns();
    return servers("Wi-Fi") == std::set<std::string>{"10.0.5.1"};
  }));
  damageSettings();
  inForce({"10.0.4.1"});
  takeSetCalls();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("2468"));
  ASSERT_TRUE(strictestListIs("10.0.5.1"));
  drainDns();
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>{"10.0.4.1"});
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-moved-list")));
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->ultraExtremeMode->state(), ControlStateOn);
  EXPECT_EQ(main->normalMode->state(), ControlStateOff);
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOn);
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-moved-list-menu")));
  click(main->btnMenuBackOutlet);
  expectOffAndLowerModeAskPin(main, kUnreadable);
  platform::appkit::Workspace::shared().postDidWake();
  drainDns();
  EXPECT_EQ(takeSetCalls(), Strings{});
  // A lower mode with the PIN: written in the damaged file's place with protection on and applied,
  // and the next start keeps it.
  click(main->btnMenuOutlet);
  click(main->extremeMode);
  enterPin(main, "2468");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.1.1 10.0.1.2", "Ethernet:10.0.1.1 10.0.1.2"}));
  expectFileProtects(1);
  main = restart();
  ASSERT_TRUE(main);
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), (std::set<std::string>{"10.0.1.1", "10.0.1.2"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// The custom block list's resolvers or the encrypted-DNS proxy in force while the settings file cannot
// be read, at a start that has read nothing: the window shows them on with the mode the cloud records
// for the user, every change waits for the PIN, and whatever is written in the file's place (a change
// made with the PIN, another program's file) keeps them, also once the cloud has moved the list, so
// that neither the change nor a wake moves the Mac to a mode's resolvers; a list the cloud moves is
// followed as over an intact file. Over an intact file the same change goes as before.
TEST_F(MainViewTest, OverUnreadableSettingsTheCustomBlockListAndTheProxyInForceStayOn) {
  const Strings custom = {"10.9.9.9", "10.9.9.8"}, moved = {"10.9.8.1", "10.9.8.2"};
  ASSERT_TRUE(modesInCloud({"10.0.0.1", "10.0.0.2"}, {"10.0.1.1", "10.0.1.2"}, {"10.0.2.1", "10.0.2.2"}));
  ASSERT_TRUE(backend().setDocument("dnsServers/customDns",
                                    {{"ipv4", custom}, {"dnsOverHttps", {"https://dns.vorellin.test/dns-query"}}}));
  ASSERT_TRUE(backend().setDocument("customBlacklist/" + uid, {{"userId", uid}, {"blockMode", 0}}));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklist, true);
  set(keys::kFenwixState, true);
  set(keys::kPinProtect, true);
  AppUtils::setFenwixServiceCheck([](bool) { return true; });
  inForce({"127.0.0.1"});
  auto heard = [&] {
    return pinsHeard("2468") && spin([&] { return VrlUserDefault::shared().customBlacklistDns() == custom; });
  };
  auto expectMenu = [&](const std::shared_ptr<Main>& main, const std::shared_ptr<Button>& mode, bool fenwix) {
    click(main->btnMenuOutlet);
    EXPECT_EQ(mode->state(), ControlStateOn);
    EXPECT_EQ(main->customBlacklistMode->state(), ControlStateOn);
    EXPECT_EQ(main->fenwixMode->state(), fenwix ? ControlStateOn : ControlStateOff);
    EXPECT_EQ(main->pinProtectMode->state(), ControlStateOn);
  };

  // Intact: a stricter mode needs no PIN; the proxy stays in force and the cloud records the mode.
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(heard());
  expectMenu(main, main->normalMode, true);
  click(main->extremeMode);
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>{"127.0.0.1"});
  expectFileProtects(1, true, true);
  ASSERT_TRUE(spin([&] { return backend().getDocument("customBlacklist/" + uid)["fields"]["blockMode"] == 1; }));

  // Damaged, and a start over it: the proxy in force reads as the custom block list and the proxy on,
  // the mode as the cloud's record. The strictest mode waits for the PIN; with it the file written
  // keeps them and the proxy stays.
  damageSettings();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(heard());
  ASSERT_TRUE(spin([] { return VrlUserDefault::shared().blockerMode() == 1; }));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  takeSetCalls();
  expectMenu(main, main->extremeMode, true);
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-proxy-menu")));
  click(main->ultraExtremeMode);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->labelAskPin->stringValue(), std::string(kUnreadable) + "Enter pin to change block mode.");
  EXPECT_EQ(takeSetCalls(), Strings{});
  enterPin(main, "2468");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:127.0.0.1", "Ethernet:127.0.0.1"}));
  expectFileProtects(2, true, true);

  // The custom block list's resolvers in force, damaged, and a start over it: the list reads on, the
  // proxy off; turning the proxy on waits for the PIN too. Another program's file and a wake keep the
  // list in force.
  inForce(custom);
  damageSettings();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(heard());
  ASSERT_TRUE(spin([] { return VrlUserDefault::shared().blockerMode() == 2; }));
  expectMenu(main, main->ultraExtremeMode, false);
  click(main->fenwixMode);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->labelAskPin->stringValue(), "Settings cannot be read. Enter pin to turn on FENWIX");
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-pin-fenwix-on")));
  click(main->view()->find<Button>("btnBackAskPin"));
  EXPECT_EQ(main->fenwixMode->state(), ControlStateOff);
  // The cloud moves the list's resolvers: the ones in force were its, so it stays on, and the DNS
  // follows the list to its new resolvers at once. Another program's file and a wake keep them.
  ASSERT_TRUE(backend().setDocument("dnsServers/customDns",
                                    {{"ipv4", moved}, {"dnsOverHttps", {"https://dns.vorellin.test/dns-query"}}}));
  ASSERT_TRUE(spin([&] { return VrlUserDefault::shared().customBlacklistDns() == moved; }));
  drainDns();
  EXPECT_EQ(main->customBlacklistMode->state(), ControlStateOn);
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.9.8.1 10.9.8.2", "Ethernet:10.9.8.1 10.9.8.2"}));
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-moved-custom-list-menu")));
  anotherProgramWritesItsKey();
  platform::appkit::Workspace::shared().postDidWake();
  drainDns();
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), (std::set<std::string>{"10.9.8.1", "10.9.8.2"}));
  expectFileProtects(2, true, false);

  // The list's resolvers in force are ones the cloud has since moved away from, and a start over a
  // damaged file: nothing read or known tells what they are, so no mode's resolvers take their place.
  inForce(custom);
  damageSettings();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(spin([&] {
    const VrlUserDefault& settings = VrlUserDefault::shared();
    return settings.customBlacklistDns() == moved && !settings.getDnsPreferences(2).empty();
  }));
  drainDns();
  EXPECT_EQ(takeSetCalls(), Strings{});
  EXPECT_EQ(servers("Wi-Fi"), std::set<std::string>(custom.begin(), custom.end()));
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// PIN protection that rests on the master PIN alone (the user has no PIN of their own) while the
// settings file cannot be read, under the running application and at a start: it stays on, so the
// power button asks for the master PIN instead of clearing the DNS at once; at a start out of the
// cloud's reach with no copy of its documents, it is refused until the cloud answers. Over an intact
// file, as before.
TEST_F(MainViewTest, OverUnreadableSettingsTheMasterPinAloneStillGuards) {
  ASSERT_TRUE(backend().setDocument("admin/masterPin", {{"masterPin", "9876"}}));
  ASSERT_TRUE(modesInCloud({"10.0.0.1", "10.0.0.2"}, {"10.0.1.1", "10.0.1.2"}, {"10.0.2.1", "10.0.2.2"}));
  protectedInTheStrictestMode();
  auto emptyEntryCannotTurnOff = [&](const std::shared_ptr<Main>& main, const std::string& why) {
    asksPin(main, main->btnVRLOutlet, why + "Enter pin to turn off.");
    click(main->btnVRLOutlet);
    enterPin(main, "");
    EXPECT_EQ(alertTexts(), Strings{"Pin is incorrect"});
    EXPECT_FALSE(main->boxAskPin->isHidden());
    click(main->view()->find<Button>("btnBackAskPin"));
    EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
    EXPECT_EQ(takeSetCalls(), Strings{});
  };

  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("", "9876"));
  emptyEntryCannotTurnOff(main, "");

  damageSettings();
  ASSERT_TRUE(prefs()->readError());
  emptyEntryCannotTurnOff(main, kUnreadable);

  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("", "9876"));
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->pinProtectMode->state(), ControlStateOn);
  click(main->btnMenuBackOutlet);
  emptyEntryCannotTurnOff(main, kUnreadable);
  // The master PIN turns protection off: the DNS is cleared, PIN protection stays on.
  click(main->btnVRLOutlet);
  enterPin(main, "9876");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
  platform::UserDefaults file(kDefaultsDomain);
  EXPECT_FALSE(file.readError());
  EXPECT_FALSE(file.boolForKey(keys::kBlockerState));
  EXPECT_TRUE(file.boolForKey(keys::kPinProtect));
  // Damaged again: turning protection on waits for the PIN too, whatever the window shows.
  damageSettings();
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  asksPin(main, main->btnVRLOutlet, std::string(kUnreadable) + "Enter pin to turn on.");
  click(main->btnVRLOutlet);
  enterPin(main, "9876");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.2.1 10.0.2.2", "Ethernet:10.0.2.1 10.0.2.2"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");

  // Damaged, the cloud out of reach and the database's own copy gone: nothing tells either PIN, so the
  // power button is refused. Once the cloud is back the master PIN guards again (the cloud's word that
  // the user has no PIN of their own changes nothing the listener was shown, so it has to be asked).
  backend().stop();
  main = restartDamagedWithoutDatabaseCopy();
  ASSERT_TRUE(main);
  click(main->btnVRLOutlet);
  EXPECT_EQ(alertTexts(), Strings{"Settings cannot be read and your PIN is not known yet."});
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(takeSetCalls(), Strings{});
  backend().start();
  ASSERT_TRUE(pinsHeard("", "9876"));
  emptyEntryCannotTurnOff(main, kUnreadable);
  for (const auto& f : asideFiles()) std::filesystem::remove(f);
}

// Whoever signs in through the form has a lock of their own: a PIN left in the settings by the user
// signed in before opens nothing of theirs, and without a PIN of their own the master PIN alone guards.
TEST_F(MainViewTest, ASignInThroughTheFormIsGuardedByTheMasterPinNotByAPinLeftBehind) {
  seedUserDocument(nlohmann::json::array({{{"model", "macOS"}}}));
  ASSERT_TRUE(backend().setDocument("admin/masterPin", {{"masterPin", "9876"}}));
  set(keys::kPin, "1111");
  set(keys::kBlockerState, true);
  set(keys::kPinProtect, true);
  inForce({"10.0.0.1", "10.0.0.2"});
  launch();
  auto login = waitForContent<Login>();
  ASSERT_TRUE(login);
  submitLogin(login, testing::kUserEmail, testing::kUserPassword);
  auto main = waitForContent<Main>();
  ASSERT_TRUE(main);
  drainDns();
  click(main->btnVRLOutlet);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  enterPin(main, "1111");
  EXPECT_EQ(alertTexts(), Strings{"Pin is incorrect"});
  ASSERT_TRUE(pinsHeard("", "9876"));
  enterPin(main, "1111");
  enterPin(main, "9876");
  EXPECT_EQ(alertTexts(), (Strings{"Pin is incorrect", "Pin is incorrect"}));
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
}

// A user's lock is theirs. When another user signs in on this computer, only a PIN known for them
// opens the PIN box: neither the previous user's PIN nor the empty entry after the cloud failed to
// answer for them. Over an intact file the box opens for their PIN once the cloud has given it; over
// settings that cannot be read, a change is refused until then.
TEST_F(MainViewTest, AfterAUserChangeOnlyAPinOfTheUserSignedInOpensTheLock) {
  const std::string beaEmail = "bea@vorellin.test", beaPassword = "bea-password";
  const std::string bea = backend().identity().addUser(backend::TestBackend::passwordUser(beaEmail, beaPassword));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "1111"}}));
  ASSERT_TRUE(backend().setDocument("pin/" + bea, {{"userId", bea}, {"pin", "1357"}}));
  protectedInTheStrictestMode();
  std::shared_ptr<Main> main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("1111"));

  // One user signs out and another signs in. The listeners of the one signed out are refused their
  // documents; the main view then opens the new user's.
  auto refusals = [&] {
    size_t n = 0;
    for (const auto& text : log->texts(platform::logging::LogFlag::Verbose, "listenToPin(uid:)"))
      n += text.find("Missing or insufficient permissions.") != std::string::npos;
    return n;
  };
  auto switchTo = [&](const std::string& email, const std::string& password) {
    const size_t before = refusals();
    platform::ErrorPtr error;
    ASSERT_TRUE(DAVAuth::auth()->signOut(&error));
    bool signedIn = false;
    DAVAuth::auth()->signInWithEmail(email, password, [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) {
      error = e;
      signedIn = true;
    });
    ASSERT_TRUE(spin([&] { return signedIn; }));
    ASSERT_FALSE(error) << error->description();
    ASSERT_TRUE(spin([&] { return refusals() > before; }));
    CloudCollections::shared().listenAllChanges();
  };

  // Intact: before the cloud answers for Bea, Ann's PIN does not open the box, nor does the empty entry
  // after the listener of Bea's PIN failed; her PIN does once it came.
  switchTo(beaEmail, beaPassword);
  alerts->clear();
  click(main->btnVRLOutlet);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  EXPECT_EQ(main->labelAskPin->stringValue(), "Enter pin to turn off.");
  enterPin(main, "1111");
  CloudCollections::onUserPin(nullptr, platform::makeError("DAVVerorarivErrorDomain", 14, "The service is unavailable."));
  enterPin(main, "");
  EXPECT_EQ(alertTexts(), (Strings{"Pin is incorrect", "Pin is incorrect"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  EXPECT_EQ(takeSetCalls(), Strings{});
  ASSERT_TRUE(pinsHeard("1357"));
  enterPin(main, "1357");
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
  click(main->btnVRLOutlet);
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.2.1 10.0.2.2", "Ethernet:10.0.2.1 10.0.2.2"}));

  // Over settings that cannot be read, back to Ann: until the cloud answers for her, the power button
  // is refused; then only her PIN opens the box.
  damageSettings();
  switchTo(testing::kUserEmail, testing::kUserPassword);
  alerts->clear();
  click(main->btnVRLOutlet);
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(alertTexts(), Strings{"Settings cannot be read and your PIN is not known yet."});
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle On");
  ASSERT_TRUE(pinsHeard("1111"));
  click(main->btnVRLOutlet);
  EXPECT_FALSE(main->boxAskPin->isHidden());
  enterPin(main, "1357");
  enterPin(main, "1111");
  EXPECT_TRUE(main->boxAskPin->isHidden());
  EXPECT_EQ(alertTexts(), (Strings{"Settings cannot be read and your PIN is not known yet.", "Pin is incorrect"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// Encrypted DNS on and the proxy's address in force when the proxy stops answering, over a settings file
// that cannot be read: the health timer and a wake hand the Mac to the custom block list's resolvers as
// over an intact file, and its address is registered for them, with the cloud's own mode. The option
// itself stays on in what is held (the fallback's write waits for the file), and the dead proxy is not
// checked again until the file reads again; then the fallback writes the option off, as it always does.
TEST_F(MainViewTest, OverUnreadableSettingsADeadProxyHandsTheMacToTheCustomBlockListsResolvers) {
  const Strings custom = {"10.9.9.9", "10.9.9.8"};
  const std::set<std::string> customSet(custom.begin(), custom.end());
  ASSERT_TRUE(modesInCloud({"10.0.0.1", "10.0.0.2"}, {"10.0.1.1", "10.0.1.2"}, {"10.0.2.1", "10.0.2.2"}));
  ASSERT_TRUE(backend().setDocument("dnsServers/customDns",
                                    {{"ipv4", custom}, {"dnsOverHttps", {"https://dns.vorellin.test/dns-query"}}}));
  ASSERT_TRUE(backend().setDocument("customBlacklist/" + uid, {{"userId", uid}, {"blockMode", 1}}));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklist, true);
  set(keys::kFenwixState, true);
  set(keys::kBlockerMode, platform::Value(int64_t(1)));
  set(keys::kPinProtect, true);
  inForce({"127.0.0.1"});
  FenwixHelper::unavailableAlertShown = false;
  // The proxy's service is there but answers nothing: its check ends in the real fallback.
  std::atomic<int> checks{0};
  AppUtils::setFenwixServiceCheck([&checks](bool) {
    ++checks;
    FenwixHelper::fallBackFromFenwix();
    return false;
  });
  auto healthTick = [] {
    AppDelegate::shared()->fenwixHealthTimer->fire();
    drainDns();
  };
  auto wake = [] {
    platform::appkit::Workspace::shared().postDidWake();
    drainDns();
  };
  const std::string damaged = damageSettings();

  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("2468"));
  ASSERT_TRUE(spin([&] { return VrlUserDefault::shared().customBlacklistDns() == custom; }));
  healthTick();
  wake();
  EXPECT_EQ(servers("Wi-Fi"), customSet);
  EXPECT_EQ(servers("Ethernet"), customSet);
  EXPECT_GE(checks, 1);
  ASSERT_TRUE(spin([&] { return alerts->count() > 0; }));
  EXPECT_EQ(alertTexts(), Strings{"FENWIX is unavailable"});
  ASSERT_TRUE(spin([&] {
    const nlohmann::json document = backend().getDocument("customBlacklist/" + uid);
    return document["fields"]["latestIpAddress"] == nlohmann::json::array({testing::kPublicIp});
  }));
  EXPECT_EQ(backend().getDocument("customBlacklist/" + uid)["fields"]["blockMode"], 1);
  EXPECT_EQ(readFile(prefs()->filePath()), damaged);
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->fenwixMode->state(), ControlStateOn);
  EXPECT_EQ(main->extremeMode->state(), ControlStateOn);
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("main-unreadable-dead-proxy-menu")));
  click(main->btnMenuBackOutlet);
  const int checked = checks;
  takeSetCalls();
  healthTick();
  wake();
  EXPECT_EQ(checks, checked);
  EXPECT_EQ(takeSetCalls(), Strings{});

  anotherProgramWritesItsKey();
  wake();
  EXPECT_EQ(checks, checked + 1);
  EXPECT_EQ(servers("Wi-Fi"), customSet);
  expectFileProtects(1, true, false);
  EXPECT_EQ(alertTexts(), Strings{"FENWIX is unavailable"});
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// With the custom block list on, a parent sets a stricter block mode in the cloud. Over a settings file
// that cannot be read it raises the mode held at once, as it would be copied into an intact file: the
// Mac's registration of its address writes the parent's mode, never the older one back, the file keeps
// it once it reads again, and turning the custom block list off (with the PIN) lands on that mode's
// resolvers. Over an intact file, as before.
TEST_F(MainViewTest, OverUnreadableSettingsAStricterModeFromTheCloudIsHeldAndNeverWrittenBack) {
  const Strings custom = {"10.9.9.9", "10.9.9.8"};
  ASSERT_TRUE(modesInCloud({"10.0.0.1", "10.0.0.2"}, {"10.0.1.1", "10.0.1.2"}, {"10.0.2.1", "10.0.2.2"}));
  ASSERT_TRUE(backend().setDocument("dnsServers/customDns", {{"ipv4", custom}}));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  const nlohmann::json registered = nlohmann::json::array({testing::kPublicIp});
  auto parentSets = [&](int64_t mode, const nlohmann::json& addresses) {
    ASSERT_TRUE(backend().setDocument("customBlacklist/" + uid,
                                      {{"userId", uid}, {"blockMode", mode}, {"latestIpAddress", addresses}}));
  };
  // The Mac registers its address again (the parent's write left it out); the mode goes with it.
  auto reRegisteredWithMode = [&](int64_t mode) {
    EXPECT_TRUE(spin([&] {
      return backend().getDocument("customBlacklist/" + uid)["fields"]["latestIpAddress"] == registered;
    }));
    EXPECT_EQ(backend().getDocument("customBlacklist/" + uid)["fields"]["blockMode"], mode);
  };
  auto customListOffWithThePin = [&](const std::shared_ptr<Main>& main) {
    click(main->btnMenuOutlet);
    click(main->customBlacklistMode);
    enterPin(main, "2468");
    click(main->btnMenuBackOutlet);
  };
  // The extreme mode (with the PIN where it is lower), then the custom block list on, which writes that
  // mode to the cloud over an older record.
  auto customListOnAtExtreme = [&](const std::shared_ptr<Main>& main) {
    parentSets(0, registered);
    click(main->btnMenuOutlet);
    if (VrlUserDefault::shared().blockerMode() != 1) {
      click(main->extremeMode);
      enterPin(main, "2468");
    }
    click(main->customBlacklistMode);
    click(main->btnMenuBackOutlet);
    ASSERT_TRUE(spin([&] {
      drainDns();
      return servers("Wi-Fi") == std::set<std::string>(custom.begin(), custom.end());
    }));
    ASSERT_TRUE(spin([&] { return backend().getDocument("customBlacklist/" + uid)["fields"]["blockMode"] == 1; }));
    expectFileProtects(1, true, false);
  };
  set(keys::kBlockerState, true);
  set(keys::kBlockerMode, platform::Value(int64_t(1)));
  set(keys::kPinProtect, true);
  inForce({"10.0.1.1", "10.0.1.2"});
  parentSets(0, registered);
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("2468"));

  // Intact: the parent's stricter mode is copied into the file and registered with the address.
  customListOnAtExtreme(main);
  parentSets(2, nlohmann::json::array());
  reRegisteredWithMode(2);
  expectFileProtects(2, true, false);
  drainDns();
  takeSetCalls();
  customListOffWithThePin(main);
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.2.1 10.0.2.2", "Ethernet:10.0.2.1 10.0.2.2"}));

  // The same steps with the file damaged under the running application, after it read the extreme mode.
  customListOnAtExtreme(main);
  damageSettings();
  ASSERT_TRUE(prefs()->readError());
  parentSets(2, nlohmann::json::array());
  reRegisteredWithMode(2);
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 2);
  click(main->btnMenuOutlet);
  EXPECT_EQ(main->ultraExtremeMode->state(), ControlStateOn);
  click(main->btnMenuBackOutlet);
  // A weaker mode from the cloud is left for the file to decide: the mode held stays, and the Mac's
  // registration carries the cloud's own mode, neither the held one nor the older one.
  parentSets(0, nlohmann::json::array());
  reRegisteredWithMode(0);
  EXPECT_EQ(VrlUserDefault::shared().blockerMode(), 2);
  anotherProgramWritesItsKey();
  platform::appkit::Workspace::shared().postDidWake();
  drainDns();
  expectFileProtects(2, true, false);
  takeSetCalls();
  customListOffWithThePin(main);
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.2.1 10.0.2.2", "Ethernet:10.0.2.1 10.0.2.2"}));
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// The master PIN known from the database's own copy opens the lock alone while the user's own PIN waits
// for an answer that cannot come with the cloud out of reach: the power button asks for it over a
// settings file that cannot be read, as over an intact one.
TEST_F(MainViewTest, OverUnreadableSettingsAMasterPinFromTheLocalCopyOpensTheLockWhileTheUsersOwnIsUnanswered) {
  ASSERT_TRUE(backend().setDocument("admin/masterPin", {{"masterPin", "9876"}}));
  protectedInTheStrictestMode();
  auto masterFromTheCopy = [] {
    return spin([] { return VrlUserDefault::shared().masterPin() == std::optional<std::string>("9876"); });
  };
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("", "9876"));
  backend().stop();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(masterFromTheCopy());
  asksPin(main, main->btnVRLOutlet, "Enter pin to turn off.");

  damageSettings();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(masterFromTheCopy());
  EXPECT_FALSE(VrlUserDefault::shared().userPinKnown());
  asksPin(main, main->btnVRLOutlet, std::string(kUnreadable) + "Enter pin to turn off.");
  click(main->btnVRLOutlet);
  // Any other entry is refused, and the person is told why their own PIN could not open it.
  enterPin(main, "1111");
  ASSERT_EQ(alerts->count(), 1u);
  EXPECT_EQ(alerts->alerts()[0].messageText, "Pin is incorrect");
  EXPECT_EQ(alerts->alerts()[0].informativeText,
            "Your own PIN is not known yet: until Vorellin has reached the cloud, only the master PIN opens the lock.");
  enterPin(main, "9876");
  EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
  EXPECT_EQ(main->btnVRLOutlet->image()->name(), "Circle Off");
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

// A PIN document of the user's whose PIN is not a text is no PIN of theirs, over an intact settings file
// as over one that cannot be read: the master PIN guards, and neither what the document holds nor the
// text PIN it held before opens anything.
TEST_F(MainViewTest, APinDocumentWithoutATextPinLeavesTheLockToTheMasterPin) {
  ASSERT_TRUE(modesInCloud({"10.0.0.1", "10.0.0.2"}, {"10.0.1.1", "10.0.1.2"}, {"10.0.2.1", "10.0.2.2"}));
  ASSERT_TRUE(backend().setDocument("admin/masterPin", {{"masterPin", "9876"}}));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", "2468"}}));
  protectedInTheStrictestMode();
  auto onlyTheMasterPinOpens = [&](const std::shared_ptr<Main>& main, const std::string& why) {
    asksPin(main, main->btnVRLOutlet, why + "Enter pin to turn off.");
    click(main->btnVRLOutlet);
    enterPin(main, "2468");
    enterPin(main, "1357");
    EXPECT_EQ(alertTexts(), (Strings{"Pin is incorrect", "Pin is incorrect"}));
    EXPECT_EQ(takeSetCalls(), Strings{});
    enterPin(main, "9876");
    EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:empty", "Ethernet:empty"}));
    click(main->btnVRLOutlet);
    EXPECT_EQ(takeSetCalls(), (Strings{"Wi-Fi:10.0.2.1 10.0.2.2", "Ethernet:10.0.2.1 10.0.2.2"}));
  };
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("2468", "9876"));
  ASSERT_TRUE(backend().setDocument("pin/" + uid, {{"userId", uid}, {"pin", 1357}}));
  ASSERT_TRUE(pinsHeard("", "9876"));
  onlyTheMasterPinOpens(main, "");

  damageSettings();
  main = restart();
  ASSERT_TRUE(main);
  ASSERT_TRUE(pinsHeard("", "9876"));
  onlyTheMasterPinOpens(main, kUnreadable);
  for (const auto& file : asideFiles()) std::filesystem::remove(file);
}

}  // namespace
}  // namespace vorellin
