// The PIN box of the main view: every change that weakens protection waits here for the user's PIN
// or the master PIN.
#include <map>

#include "Vorellin/AppUtils.h"
#include "Vorellin/Main.h"
#include "Vorellin/ViewSupport.h"
#include "Vorellin/VrlUserDefault.h"
#include "platform/appkit/Window.h"
#include "platform/logging/Log.h"

namespace vorellin {

namespace {

const std::map<std::string, std::string>& prompts() {
  static const std::map<std::string, std::string> table = {
      {"off", "Enter pin to turn off."},
      {"pin", "Enter pin to turn off pin protect."},
      {"fenwix", "Enter pin to turn off FENWIX"},
      {"customblacklist", "Enter pin to turn off custom blacklist"},
      {"uninstall", "Enter pin to uninstall the app."},
      // Asked only while the settings cannot be read.
      {"on", "Enter pin to turn on."},
      {"pinon", "Enter pin to turn on pin protect."},
      {"fenwixon", "Enter pin to turn on FENWIX"},
      {"customblackliston", "Enter pin to turn on custom blacklist"},
  };
  return table;
}

constexpr const char* kModePrompt = "Enter pin to change block mode.";
// Before the prompt while the settings cannot be read: the box may ask where it never did.
constexpr const char* kUnreadablePrompt = "Settings cannot be read. ";
constexpr const char* kPinNotKnownYet = "Settings cannot be read and your PIN is not known yet.";
constexpr const char* kPinNotKnownYetInformative =
    "Protection stays as it is. Try again once Vorellin has reached the cloud.";
// Under "Pin is incorrect" while only the master PIN can open the box.
constexpr const char* kOwnPinNotKnownYet =
    "Your own PIN is not known yet: until Vorellin has reached the cloud, only the master PIN opens the lock.";

// The changes asked for in the menu; the PIN box shrinks the window to the normal height over them.
bool isMenuChange(const std::string& what) {
  return what == "pin" || what == "pinon" || what == "mode" || what == "customblacklist" ||
         what == "customblackliston" || what == "fenwix" || what == "fenwixon";
}

}  // namespace

bool Main::isPinProtectOn() { return VrlUserDefault::shared().pinProtectState(); }

bool Main::mayChange(const std::string& what, bool weakens, int64_t mode) {
  const VrlUserDefault& settings = VrlUserDefault::shared();
  if (!settings.preferences->readError()) {
    if (!weakens || !isPinProtectOn()) return true;
  } else {
    // Whatever the window shows, nothing read tells what this change does to protection. A known master
    // PIN opens the lock alone, whatever is known of the user's own.
    const std::optional<std::string> user = settings.userPin(), master = settings.masterPin();
    const bool masterKnown = master && !master->empty();
    if (!masterKnown && (!user || (user->empty() && !master))) {
      showAlert(kPinNotKnownYet, "Ok", kPinNotKnownYetInformative);
      syncMenuControls();
      return false;
    }
    if (!masterKnown && user->empty()) return true;
  }
  if (what == "mode") {
    askPinForMode(mode);
  } else {
    askPin(what);
  }
  if (isMenuChange(what)) resizeWindow("normal");
  return false;
}

void Main::askPin(const std::string& what) {
  forWhat = what;
  auto prompt = prompts().find(what);
  if (prompt == prompts().end()) return;
  openPinBox(prompt->second);
}

void Main::askPinForMode(int64_t mode) {
  forWhat = "mode";
  changeMode = mode;
  openPinBox(kModePrompt);
}

void Main::openPinBox(const std::string& prompt) {
  const bool unreadable = VrlUserDefault::shared().preferences->readError().has_value();
  if (labelAskPin) labelAskPin->setStringValue(unreadable ? kUnreadablePrompt + prompt : prompt);
  // Nothing else may change while the box waits, or the PIN would unlock something else.
  setControlsEnabled(false);
  setMenuControlsEnabled(false);
  if (boxAskPin) boxAskPin->setHidden(false);
  // The PIN is typed at once, without a click into the field first.
  if (auto w = window(); w && inputPinVrl) w->makeFirstResponder(inputPinVrl);
}

void Main::setControlsEnabled(bool enabled) {
  for (const auto& control : {btnVRLOutlet, btnVersion, btnSupportOutlet, btnMenuOutlet, imgMenu})
    if (control) control->setEnabled(enabled);
}

void Main::setMenuControlsEnabled(bool enabled) {
  for (const auto& control : {normalMode, extremeMode, ultraExtremeMode, pinProtectMode, customBlacklistMode,
                              fenwixMode, btnMenuBackOutlet, btnUninstallOutlet, btnReportBugOutlet})
    if (control) control->setEnabled(enabled);
}

void Main::closePinBox() {
  if (boxAskPin) boxAskPin->setHidden(true);
  setControlsEnabled(true);
  setMenuControlsEnabled(true);
}

void Main::returnToMain() {
  setControlsEnabled(true);
  setMenuControlsEnabled(true);
  if (boxMain) boxMain->setHidden(false);
}

void Main::pinProtectClick() {
  const bool on = isPinProtectOn();
  if (!mayChange(on ? "pin" : "pinon", on)) return;
  // Synchronised at once like every other switch: a PIN protection lost on a crash would leave the
  // Mac unguarded without anyone knowing.
  writeSetting(keys::kPinProtect, !on);
}

void Main::btnPinContinue() {
  const std::string entered = inputPinVrl ? inputPinVrl->stringValue() : "";
  const VrlUserDefault& settings = VrlUserDefault::shared();
  // Only a PIN known for the signed-in user opens the box. The empty entry opens it only when it is
  // known that neither PIN exists (nothing else could), never while one may only not be known yet.
  const std::optional<std::string> user = settings.userPin(), master = settings.masterPin();
  const bool accepted = (master && !master->empty() && entered == *master) ||
                        (user && !user->empty() && entered == *user) ||
                        (user && master && user->empty() && master->empty() && entered.empty());
  if (!accepted) {
    showAlert("Pin is incorrect", "Ok", user ? "" : kOwnPinNotKnownYet);
    // The click that opened the box is refused: the switches show the settings again.
    syncMenuControls();
    return;
  }
  constexpr const char* kCaller = "btnPinContinue(_:)";
  if (forWhat == "uninstall") {
    proceedUninstall();
  } else if (forWhat == "off") {
    turnOff(kCaller);
    returnToMain();
  } else if (forWhat == "on") {
    turnOn(kCaller);
    returnToMain();
  } else if (forWhat == "pin" || forWhat == "pinon") {
    writeSetting(keys::kPinProtect, forWhat == "pinon");
    showMenu();
  } else if (forWhat == "customblacklist") {
    turnOffCustomBlacklist(kCaller);
    showMenu();
  } else if (forWhat == "customblackliston") {
    showMenu();
    turnOnCustomBlacklist();
  } else if (forWhat == "mode") {
    applyMode(changeMode, kCaller);
    showMenu();
  } else if (forWhat == "fenwix") {
    turnOffFenwix(kCaller);
    showMenu();
  } else if (forWhat == "fenwixon") {
    turnOnFenwix(kCaller);
    showMenu();
  } else {
    VRL_LOG_VERBOSE_AT(__FILE__, "btnPinContinue(_:)", __LINE__, "forWhat is undefined");
    return;
  }
  closePinBox();
  if (inputPinVrl) inputPinVrl->setStringValue("");
}

void Main::btnBackAskPin() {
  if (inputPinVrl) inputPinVrl->setStringValue("");
  setControlsEnabled(true);
  if (isMenuChange(forWhat)) {
    showMenu();
  } else {
    closePinBox();
    returnToMain();
  }
}

// ---- the DNS in force when the view starts ----

void Main::checkDns() {
  const VrlUserDefault& settings = VrlUserDefault::shared();
  const bool blocker = settings.blockerState();
  updateStatusImages(blocker);
  // Over settings that cannot be read, protection reads as what is in force: nothing to store or apply.
  if (settings.preferences->readError()) return;
  if (blocker && settings.customBlacklistState()) {
    if (AppUtils::dnsAlreadyApplied(settings.customBlacklistDns())) updateStatusImages(true);
    return;
  }
  if (blocker) {
    const auto normal = settings.getDnsPreferences(0);
    const auto extreme = settings.getDnsPreferences(1);
    const auto ultra = settings.getDnsPreferences(2);
    if (AppUtils::dnsAlreadyApplied(normal) || AppUtils::dnsAlreadyApplied(extreme)) {
      updateStatusImages(true);
      return;
    }
    const bool ultraInForce = AppUtils::dnsAlreadyApplied(ultra);
    updateStatusImages(true);
    if (!ultraInForce) VRL_REQUEST_DNS("checkDns()");
    return;
  }
  writeSetting(keys::kBlockerState, false);
  updateStatusImages(false);
  VRL_REQUEST_DNS("checkDns()");
}

}  // namespace vorellin
