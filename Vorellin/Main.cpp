#include "Vorellin/Main.h"

#include <filesystem>
#include <iostream>

#include "Vorellin/AppDelegate.h"
#include "Vorellin/AppUtils.h"
#include "Vorellin/CloudCollections.h"
#include "Vorellin/DavedoveUtils.h"
#include "Vorellin/ReplacePresentationAnimator.h"
#include "Vorellin/ViewSupport.h"
#include "Vorellin/VrlUserDefault.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/System.h"
#include "platform/logging/Log.h"

namespace vorellin {

using platform::appkit::Button;
using platform::appkit::ControlStateOff;
using platform::appkit::ControlStateOn;
using platform::appkit::Image;
using platform::appkit::Object;

namespace {

constexpr const char* kNoCustomBlacklist = "Please turn on custom blacklist on the Android app first.";
constexpr const char* kFenwixNeedsBlacklist = "Turn on domain blacklist / whitelist first.";

const VrlUserDefault& settings() { return VrlUserDefault::shared(); }

void setHidden(const std::shared_ptr<platform::appkit::View>& view, bool hidden) {
  if (view) view->setHidden(hidden);
}

void setEnabled(const std::shared_ptr<platform::appkit::Control>& control, bool enabled) {
  if (control) control->setEnabled(enabled);
}

}  // namespace

Main::Main() {
  registerAction("btnVRL:", [this](Object*) { btnVRL(); });
  registerAction("modeSelected:", [this](Object* sender) { modeSelected(sender); });
  registerAction("customBlacklistClick:", [this](Object*) { customBlacklistClick(); });
  registerAction("fenwixClick:", [this](Object*) { fenwixClick(); });
  registerAction("pinProtectClick:", [this](Object*) { pinProtectClick(); });
  registerAction("btnMenu:", [this](Object*) { btnMenu(); });
  registerAction("btnMenuBack:", [this](Object*) { btnMenuBack(); });
  registerAction("btnUninstall:", [this](Object*) { btnUninstall(); });
  registerAction("btnHere:", [this](Object*) { btnHere(); });
  registerAction("btnVersionCheckForUpdates:", [this](Object*) { btnVersionCheckForUpdates(); });
  registerAction("btnSupport:", [this](Object*) { btnSupport(); });
  registerAction("btnreportbug:", [this](Object*) { btnreportbug(); });
  registerAction("btnBackAskPin:", [this](Object*) { btnBackAskPin(); });
  registerAction("btnPinContinue:", [this](Object*) { btnPinContinue(); });
}

void Main::bindOutlets() {
  auto v = view();
  boxLoading = v->find<platform::appkit::Box>("boxLoading");
  boxTopDefault = v->find<platform::appkit::Box>("boxTopDefault");
  boxMain = v->find<platform::appkit::Box>("boxMain");
  boxMenu = v->find<platform::appkit::Box>("boxMenu");
  boxAskPin = v->find<platform::appkit::Box>("boxAskPin");
  imgMenu = v->find<Button>("imgMenu");
  btnVRLOutlet = v->find<Button>("btnVRL");
  imgVRLActive = v->find<platform::appkit::ImageView>("imgVRLActive");
  txtUserEmail = v->find<platform::appkit::TextField>("txtUserEmail");
  btnVersion = v->find<Button>("btnVersion");
  btnSupportOutlet = v->find<Button>("btnSupport");
  btnMenuOutlet = v->find<Button>("btnMenu");
  btnMenuBackOutlet = v->find<Button>("btnMenuBack");
  btnUninstallOutlet = v->find<Button>("btnUninstall");
  btnReportBugOutlet = v->find<Button>("btnReportBug");
  normalMode = v->find<Button>("normalMode");
  extremeMode = v->find<Button>("extremeMode");
  ultraExtremeMode = v->find<Button>("ultraExtremeMode");
  pinProtectMode = v->find<Button>("pinProtectMode");
  customBlacklistMode = v->find<Button>("customBlacklistMode");
  fenwixMode = v->find<Button>("fenwixMode");
  labelAskPin = v->find<platform::appkit::TextField>("labelAskPin");
  inputPinVrl = v->find<platform::appkit::TextField>("inputPinVrl");
}

// ---- life cycle ----

Main::~Main() {
  if (cloudObserver_) platform::NotificationCenter::defaultCenter().removeObserver(cloudObserver_);
}

void Main::viewDidLoad() {
  VRL_LOG_DEBUG_AT(__FILE__, "viewDidLoad()", __LINE__, "viewDidLoad()");
  bindOutlets();
  if (!cloudObserver_) {
    std::weak_ptr<Main> weak = std::static_pointer_cast<Main>(shared_from_this());
    cloudObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        kCloudSettingsStoredNotification, nullptr, [weak](const platform::Notification&) {
          if (auto self = weak.lock()) self->showStoredSettings();
        });
  }
  CloudCollections::shared().listenAllChanges();
  initialized = false;
  initialize();
}

void Main::viewWillAppear() {
  VRL_LOG_DEBUG_AT(__FILE__, "viewWillAppear()", __LINE__, "viewWillAppear()");
  std::cout << "appear" << std::endl;
  resizeWindow("normal");
  if (!initialized) initialize();
}

void Main::viewDidAppear() {
  VRL_LOG_DEBUG_AT(__FILE__, "viewDidAppear()", __LINE__, "viewDidAppear()");
  auto w = window();
  if (!w) {
    VRL_LOG_VERBOSE_AT(__FILE__, "viewDidAppear()", __LINE__, "viewDidAppear error get window");
    return;
  }
  prepareWindow(w);
}

void Main::viewWillDisappear() {
  setHidden(boxMenu, true);
  setHidden(boxMain, false);
  setHidden(boxTopDefault, false);
}

void Main::initialize() {
  checkDns();
  std::shared_ptr<DAVUser> user = DAVAuth::auth()->currentUser();
  std::optional<std::string> email = user ? user->email() : std::nullopt;
  if (txtUserEmail) txtUserEmail->setStringValue(email ? *email : kPlaceholderEmail);
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
  const platform::Value* version = bundle ? bundle->objectForInfoDictionaryKey("CFBundleShortVersionString") : nullptr;
  if (btnVersion)
    btnVersion->setTitle("Build " + (version && version->asString() ? *version->asString() : std::string("Check for updates")));
  setEnabled(imgMenu, true);
  setHidden(boxLoading, true);
  setHidden(boxMain, false);
  setHidden(boxTopDefault, false);
  VRL_LOG_VERBOSE_AT(__FILE__, "initialize()", __LINE__, "initialize finished");
  initialized = true;
  AppUtils::disableIPV6();
}

// ---- window states ----

void Main::resizeWindow(const std::string& type) {
  auto w = window();
  if (!w) {
    VRL_LOG_VERBOSE_AT(__FILE__, "resizeWindow(type:)", __LINE__, "resizeWindow - error getting window");
    return;
  }
  platform::appkit::Rect frame = w->frame();
  // The top edge stays where it is and each state has one height, so repeating a resize changes nothing.
  const double top = frame.origin.y + frame.size.height;
  if (type == "menu") {
    frame.size.height = kNormalHeight + kMenuExtraHeight;
    frame.origin.y = top - frame.size.height;
  } else if (type == "normal") {
    if (frame.size.height == kNormalHeight) return;
    frame.size.height = kNormalHeight;
    frame.origin.y = top - frame.size.height;
  }
  w->setFrame(frame, true, false);
  layOutMenu(frame.size.height);
}

void Main::layOutMenu(double height) {
  if (!boxMenu) return;
  platform::appkit::Rect box = boxMenu->frame();
  const double shift = height - box.size.height;
  if (shift == 0) return;
  box.size.height = height;
  boxMenu->setFrame(box);
  for (const auto& button : {btnReportBugOutlet, btnUninstallOutlet, btnMenuBackOutlet}) {
    if (!button) continue;
    platform::appkit::Rect frame = button->frame();
    frame.origin.y += shift;
    button->setFrame(frame);
  }
}

void Main::updateStatusImages(bool isOn) {
  if (isOn) {
    if (imgVRLActive) {
      imgVRLActive->setImage(Image::named("VRL Active"));
      imgVRLActive->setAlphaValue(0.1);
    }
    if (btnVRLOutlet) btnVRLOutlet->setImage(Image::named("Circle On"));
  } else {
    if (imgVRLActive) imgVRLActive->setImage(nullptr);
    if (btnVRLOutlet) btnVRLOutlet->setImage(Image::named("Circle Off"));
  }
}

void Main::syncMenuControls() {
  if (pinProtectMode) pinProtectMode->setState(isPinProtectOn() ? ControlStateOn : ControlStateOff);
  if (customBlacklistMode)
    customBlacklistMode->setState(settings().customBlacklistState() ? ControlStateOn : ControlStateOff);
  if (fenwixMode) fenwixMode->setState(settings().fenwixState() ? ControlStateOn : ControlStateOff);
  const int64_t mode = settings().blockerMode();
  auto chosen = mode == 2 ? ultraExtremeMode : mode == 1 ? extremeMode : normalMode;
  if (chosen) chosen->setState(ControlStateOn);
}

void Main::showStoredSettings() {
  updateStatusImages(settings().blockerState());
  // Not under the PIN box: the click it waits on stays shown until it is answered.
  if (boxMenu && !boxMenu->isHidden() && (!boxAskPin || boxAskPin->isHidden())) syncMenuControls();
}

void Main::showMenu() {
  setHidden(boxMain, true);
  setHidden(boxTopDefault, true);
  syncMenuControls();
  closePinBox();
  setHidden(boxMenu, false);
  resizeWindow("menu");
}

void Main::btnMenu() { showMenu(); }

void Main::btnMenuBack() {
  setHidden(boxMenu, true);
  resizeWindow("normal");
  setHidden(boxMain, false);
  setHidden(boxTopDefault, false);
}

// ---- protection controls ----

void Main::btnVRL() {
  if (settings().blockerState()) {
    if (!mayChange("off", true)) return;
    turnOff("btnVRL(_:)");
  } else {
    if (!mayChange("on", false)) return;
    turnOn("btnVRL(_:)");
  }
}

void Main::turnOn(const char* caller) {
  writeSetting(keys::kBlockerState, true);
  updateStatusImages(true);
  VRL_REQUEST_DNS(caller);
  AppUtils::refreshPublicIp();
}

void Main::turnOff(const char* caller) {
  writeSetting(keys::kBlockerState, false);
  updateStatusImages(false);
  VRL_REQUEST_DNS(caller);
}

void Main::modeSelected(Object* sender) {
  auto* button = dynamic_cast<Button*>(sender);
  const std::string title = button ? button->title() : "";
  std::cout << title << std::endl;
  int64_t mode;
  if (title == "Normal Mode") {
    mode = 0;
  } else if (title == "Extreme Mode") {
    mode = 1;
  } else if (title == "UltraExtreme Mode") {
    mode = 2;
  } else {
    return;
  }
  if (mode == settings().blockerMode()) return;
  ModeSelected(mode);
}

void Main::ModeSelected(int64_t mode) {
  if (!mayChange("mode", mode < settings().blockerMode(), mode)) return;
  applyMode(mode, "ModeSelected(mode:)");
}

void Main::applyMode(int64_t mode, const char* caller) {
  writeSetting(keys::kBlockerMode, platform::Value(mode));
  if (settings().blockerState()) VRL_REQUEST_DNS(caller);
  if (settings().customBlacklistState()) writeBlockModeToCloud();
}

void Main::writeBlockModeToCloud() { DavedoveUtils::saveBlockMode({settings().currentIp().value_or("")}); }

void Main::customBlacklistClick() {
  if (settings().customBlacklistState()) {
    if (!mayChange("customblacklist", true)) return;
    turnOffCustomBlacklist("customBlacklistClick(_:)");
    return;
  }
  if (!DAVAuth::auth()->currentUser()) {
    showAlert(kNoCustomBlacklist, "Ok");
    syncMenuControls();
    return;
  }
  if (!mayChange("customblackliston", false)) return;
  turnOnCustomBlacklist();
}

void Main::turnOffCustomBlacklist(const char* caller) {
  writeSetting(keys::kCustomBlacklist, false);
  writeSetting(keys::kFenwixState, false);
  if (fenwixMode) fenwixMode->setState(ControlStateOff);
  VRL_REQUEST_DNS(caller);
}

void Main::turnOnCustomBlacklist() {
  std::shared_ptr<DAVUser> user = DAVAuth::auth()->currentUser();
  const std::string uid = user ? user->uid().value_or("") : "";
  auto collection = CloudCollections::shared().customBlacklistCollection();
  if (!collection || uid.empty()) {
    syncMenuControls();
    return;
  }
  std::weak_ptr<Main> weak = std::static_pointer_cast<Main>(shared_from_this());
  collection->documentWithPath(uid)->getDocumentWithCompletion(
      [weak](std::shared_ptr<DAVDocumentSnapshot> snapshot, platform::ErrorPtr error) {
        auto self = weak.lock();
        DavedoveUtils::onCustomBlacklistDocument(snapshot, error, [self](bool exists) {
          if (self) self->enableCustomBlacklist(exists);
        });
        if (self) self->syncMenuControls();
      });
}

void Main::enableCustomBlacklist(bool documentExists) {
  if (!documentExists) {
    showAlert(kNoCustomBlacklist, "Ok");
    return;
  }
  writeSetting(keys::kCustomBlacklist, true);
  VRL_REQUEST_DNS("customBlacklistClick(_:)");
  writeBlockModeToCloud();
}

void Main::fenwixClick() {
  if (settings().fenwixState()) {
    if (!mayChange("fenwix", true)) return;
    turnOffFenwix("fenwixClick(_:)");
    return;
  }
  if (!settings().customBlacklistState()) {
    showAlert(kFenwixNeedsBlacklist, "OK", "", platform::appkit::AlertStyle::Informational);
    if (fenwixMode) fenwixMode->setState(ControlStateOff);
    return;
  }
  if (!mayChange("fenwixon", false)) return;
  turnOnFenwix("fenwixClick(_:)");
}

void Main::turnOffFenwix(const char* caller) {
  writeSetting(keys::kFenwixState, false);
  VRL_REQUEST_DNS(caller);
}

void Main::turnOnFenwix(const char* caller) {
  writeSetting(keys::kFenwixState, true);
  VRL_REQUEST_DNS(caller);
}

void Main::btnUninstall() {
  if (!mayChange("uninstall", true)) return;
  proceedUninstall();
}

void Main::btnHere() { platform::appkit::Workspace::shared().openURL(kDownloadPage); }

void Main::btnVersionCheckForUpdates() {
  auto delegate = AppDelegate::shared();
  if (delegate && delegate->updaterController) delegate->updaterController->checkForUpdates(this);
}

void Main::btnSupport() { sendSupportMail(); }
void Main::btnreportbug() { sendBugReport(); }

void Main::proceedUninstall() {
  writeSetting(keys::kBlockerState, false);
  updateStatusImages(false);
  std::error_code ec;
  if (std::filesystem::exists(platform::systemPath(FenwixHelper::launchDaemonPlistPath), ec)) {
    std::optional<std::string> line = FenwixHelper::proxyCommandLine(FenwixHelper::kServiceUninstall);
    if (!line || !FenwixHelper::runRootCommands({*line})) FenwixHelper::deleteConfigFile();
  }
  presentStoryboardScene(shared_from_this(), "Uninstall");
}

void Main::Service(const std::string& command) {
  // Runs whatever the log level: the output is only the trace.
  const std::string output = AppUtils::shellResult(AppUtils::serviceCommand(command)).output;
  VRL_LOG_VERBOSE_AT(__FILE__, "Service(command:)", __LINE__, output);
}

}  // namespace vorellin
