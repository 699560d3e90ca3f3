// The window operations of AppUtils: they read the application's window list and the delegate's
// recorded main window number.
#include "Vorellin/AppDelegate.h"
#include "Vorellin/AppUtils.h"
#include "platform/appkit/Window.h"

namespace vorellin {

using platform::appkit::Application;
using platform::appkit::Window;

void AppUtils::recordMainWindowNumber() {
  std::shared_ptr<AppDelegate> delegate = AppDelegate::shared();
  if (!delegate || delegate->mainWindowNumber != 0) return;
  // Every plain window in list order: the last one wins. Panels and other subclasses never match.
  for (const auto& window : Application::shared().windows())
    if (window->className() == Window::kPlainWindowClassName) delegate->mainWindowNumber = window->windowNumber();
}

void AppUtils::showMainWindow() {
  std::shared_ptr<AppDelegate> delegate = AppDelegate::shared();
  if (!delegate) return;
  Application& app = Application::shared();
  const int64_t mainNumber = delegate->mainWindowNumber;
  if (mainNumber == 0) {
    // Nothing recorded: closing every window would leave nothing to show, so the first plain window
    // comes forward instead.
    for (const auto& window : app.windows()) {
      if (window->className() != Window::kPlainWindowClassName) continue;
      window->makeKeyAndOrderFront(nullptr);
      app.activateIgnoringOtherApps(true);
      return;
    }
    return;
  }
  for (const auto& window : app.windows()) {
    if (window->windowNumber() == mainNumber) {
      window->makeKeyAndOrderFront(nullptr);
      app.activateIgnoringOtherApps(true);
    } else if (window->windowNumber() > mainNumber) {
      window->close();
    }
  }
}

}  // namespace vorellin
