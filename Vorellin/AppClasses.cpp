#include "Vorellin/AppClasses.h"

#include "Vorellin/Main.h"
#include "Vorellin/WindowController.h"
#include "platform/appkit/Storyboard.h"

namespace vorellin {

void registerApplicationClasses() {
  using platform::appkit::Storyboard;
  Storyboard::registerWindowController<WindowController>("WindowController");
  Storyboard::registerViewController<Main>("Main");
  // Scenes whose views are still plain: they load their interface files with the base controller.
  for (const char* plain : {"Loading", "Login", "Uninstall"})
    Storyboard::registerViewControllerClass(plain, [] { return std::make_shared<platform::appkit::ViewController>(); });
}

}  // namespace vorellin
