// The PIN box of the main view: every change that weakens protection waits here for the user's PIN
// or the master PIN.
#include <map>

#include "Vorellin/AppUtils.h"
#include "Vorellin/DavedoveUtils.h"
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
  };
  return table;
}

constexpr const char* kModePrompt = "Enter pin to change block mode.";

}  // namespace

bool Main::isPinProtectOn() { return VrlUserDefault::shared().pinProtectState(); }

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
  if (labelAskPin) labelAskPin->setStringValue(prompt);
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
  if (isPinProtectOn()) {
    askPin("pin");
    resizeWindow("normal");
    return;
  }
  // Synchronised at once like every other switch: a PIN protection lost on a crash would leave the
  // Mac unguarded without anyone knowing.
  writeSetting(keys::kPinProtect, true);
}

void Main::btnPinContinue() {
  const std::string entered = inputPinVrl ? inputPinVrl->stringValue() : "";
  const VrlUserDefault& settings = VrlUserDefault::shared();
  const std::string masterPin = settings.getPin(keys::kMasterPin);
  const std::string userPin = settings.getPin(keys::kPin);
  // A PIN that is not stored reads as "", which must not let an empty entry through while the other
  // PIN exists; only with no PIN at all does the empty entry open the box (nothing else could), and
  // not while the user's PIN may only not be known yet.
  const bool accepted = (!masterPin.empty() && entered == masterPin) || (!userPin.empty() && entered == userPin) ||
                        (masterPin.empty() && userPin.empty() && entered.empty() && settings.userPinKnown());
  if (!accepted) {
    showAlert("Pin is incorrect", "Ok");
    // The click that opened the box is refused: the switches show the settings again.
    syncMenuControls();
    return;
  }
  if (forWhat == "uninstall") {
    proceedUninstall();
  } else if (forWhat == "off") {
    writeSetting(keys::kBlockerState, false);
    updateStatusImages(false);
    VRL_REQUEST_DNS("btnPinContinue(_:)");
    returnToMain();
  } else if (forWhat == "pin") {
    writeSetting(keys::kPinProtect, false);
    showMenu();
  } else if (forWhat == "customblacklist") {
    writeSetting(keys::kCustomBlacklist, false);
    writeSetting(keys::kFenwixState, false);
    VRL_REQUEST_DNS("btnPinContinue(_:)");
    showMenu();
  } else if (forWhat == "mode") {
    writeSetting(keys::kBlockerMode, platform::Value(changeMode));
    if (settings.blockerState()) VRL_REQUEST_DNS("btnPinContinue(_:)");
    if (settings.customBlacklistState()) DavedoveUtils::saveBlockMode({settings.currentIp().value_or("")});
    showMenu();
  } else if (forWhat == "fenwix") {
    writeSetting(keys::kFenwixState, false);
    VRL_REQUEST_DNS("btnPinContinue(_:)");
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
  if (forWhat == "pin" || forWhat == "mode" || forWhat == "customblacklist" || forWhat == "fenwix") {
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
