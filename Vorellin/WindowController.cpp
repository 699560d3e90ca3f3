#include "Vorellin/WindowController.h"

namespace vorellin {

void WindowController::windowDidLoad() { platform::appkit::WindowController::windowDidLoad(); }

bool WindowController::windowShouldClose(platform::appkit::Window& sender) {
  sender.close();
  return false;
}

}  // namespace vorellin
