#include "Vorellin/AppClasses.h"

#include "Vorellin/Loading.h"
#include "Vorellin/Login.h"
#include "Vorellin/Main.h"
#include "Vorellin/Uninstall.h"
#include "Vorellin/WindowController.h"
#include "platform/appkit/Storyboard.h"

namespace vorellin {

void registerApplicationClasses() {
  using platform::appkit::Storyboard;
  Storyboard::registerWindowController<WindowController>("WindowController");
  Storyboard::registerViewController<Loading>("Loading");
  Storyboard::registerViewController<Login>("Login");
  Storyboard::registerViewController<Main>("Main");
  Storyboard::registerViewController<Uninstall>("Uninstall");
}

}  // namespace vorellin
