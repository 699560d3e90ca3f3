#include "Vorellin/ViewSupport.h"

#include "Vorellin/AppUtils.h"
#include "Vorellin/VrlUserDefault.h"
#include "platform/appkit/Window.h"
#include "platform/foundation/System.h"

namespace vorellin {

void showAlert(const std::string& message, const std::string& button, const std::string& informative,
               platform::appkit::AlertStyle style) {
  platform::appkit::Alert alert;
  alert.messageText = message;
  alert.informativeText = informative;
  alert.style = style;
  alert.buttons = {button};
  platform::appkit::AlertPresenter::shared()->runModal(alert);
}

void requestUserDns(const std::string& caller, const char* file, int line) {
  std::string fileName = file;
  AppUtils::dnsTransitionQueue()->async([caller, fileName, line] { AppUtils::setDns(true, false, caller, fileName, line); });
}

void writeSetting(const char* key, platform::Value value) {
  VrlUserDefault::shared().writeReplacingUnreadable(key, std::move(value));
}

std::string majorMinorOSVersion() {
  platform::OSVersion v = platform::operatingSystemVersion();
  return std::to_string(v.major) + "." + std::to_string(v.minor);
}

DAVValue::Map deviceEntry() {
  return {{"manufacturer", DAVValue("Apple")}, {"model", DAVValue("macOS")}, {"osVersion", DAVValue(majorMinorOSVersion())}};
}

void prepareWindow(const std::shared_ptr<platform::appkit::Window>& window) {
  if (!window) return;
  window->setStyleMask(window->styleMask() & ~uint64_t(platform::appkit::WindowStyleMaskResizable));
  window->center();
}

}  // namespace vorellin
