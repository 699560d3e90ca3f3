// The main view of the application window, shown after sign-in: protection on and off, the three
// block modes, the menu with the custom block list, the encrypted-DNS option and PIN protection, the
// PIN box that guards every weakening change, the DNS check at start, the support mails and the way
// to uninstall.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/appkit/View.h"
#include "platform/appkit/ViewController.h"
#include "platform/foundation/NotificationCenter.h"

namespace vorellin {

class Main : public platform::appkit::ViewController {
 public:
  Main();
  ~Main() override;
  std::string className() const override { return "Main"; }

  // Life cycle.
  void viewDidLoad() override;
  void viewWillAppear() override;
  void viewDidAppear() override;
  void viewWillDisappear() override;

  // Actions.
  void btnVRL();
  void modeSelected(platform::appkit::Object* sender);
  void ModeSelected(int64_t mode);
  void customBlacklistClick();
  void enableCustomBlacklist(bool documentExists);
  void fenwixClick();
  void pinProtectClick();
  void btnMenu();
  void btnMenuBack();
  void btnUninstall();
  void btnHere();
  void btnVersionCheckForUpdates();
  void btnSupport();
  void btnreportbug();
  void btnBackAskPin();
  void btnPinContinue();

  void initialize();
  void resizeWindow(const std::string& type);
  void updateStatusImages(bool isOn);
  void showMenu();
  void proceedUninstall();
  // "launchctl <command> -w <service property list>" as the user, whatever the log level; its output
  // is logged at verbose level.
  void Service(const std::string& command);

  // The changes of protection, once allowed.
  void turnOn(const char* caller);
  void turnOff(const char* caller);
  void applyMode(int64_t mode, const char* caller);
  void turnOnCustomBlacklist();
  void turnOffCustomBlacklist(const char* caller);
  void turnOnFenwix(const char* caller);
  void turnOffFenwix(const char* caller);

  // The PIN lock.
  // Whether a change of protection goes ahead at once; otherwise the PIN box opens for it (forWhat, and
  // mode for "mode"), or it is refused with an alert. Over settings that cannot be read every change
  // asks, whichever way it goes, since nothing read tells what it does.
  bool mayChange(const std::string& forWhat, bool weakens, int64_t mode = -1);
  void askPin(const std::string& forWhat);
  void askPinForMode(int64_t mode);
  void returnToMain();
  void setControlsEnabled(bool enabled);
  static bool isPinProtectOn();

  // The DNS state at start.
  void checkDns();

  // The two mails.
  void sendSupportMail();
  void sendBugReport();

  static constexpr double kNormalHeight = 459.0;
  static constexpr double kMenuExtraHeight = 150.0;

  // Outlets, filled when the view loads.
  std::shared_ptr<platform::appkit::Box> boxLoading, boxTopDefault, boxMain, boxMenu, boxAskPin;
  std::shared_ptr<platform::appkit::Button> imgMenu, btnVRLOutlet, btnVersion, btnSupportOutlet, btnMenuOutlet,
      btnMenuBackOutlet, btnUninstallOutlet, btnReportBugOutlet;
  std::shared_ptr<platform::appkit::ImageView> imgVRLActive;
  std::shared_ptr<platform::appkit::TextField> txtUserEmail, labelAskPin, inputPinVrl;
  std::shared_ptr<platform::appkit::Button> normalMode, extremeMode, ultraExtremeMode, pinProtectMode,
      customBlacklistMode, fenwixMode;

  std::string forWhat;
  int64_t changeMode = -1;
  bool initialized = false;

 private:
  void bindOutlets();
  // Checkboxes and radio buttons in line with the settings (a click flips them before the action).
  void syncMenuControls();
  // The menu's own controls, which must not change what a pending PIN unlocks.
  void setMenuControlsEnabled(bool enabled);
  void openPinBox(const std::string& prompt);
  void closePinBox();
  // The menu as high as the window: its three buttons stay at the bottom.
  void layOutMenu(double height);
  void writeBlockModeToCloud();
  // The on/off button and an open menu in line with the settings once the cloud's listeners stored
  // something: over settings that cannot be read, what is in force becomes known only then.
  void showStoredSettings();
  platform::ObserverToken cloudObserver_ = 0;
};

}  // namespace vorellin
