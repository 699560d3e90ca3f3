// The controller of the application window, made by the storyboard.
#pragma once

#include <string>

#include "platform/appkit/WindowController.h"

namespace vorellin {

class WindowController : public platform::appkit::WindowController {
 public:
  std::string className() const override { return "WindowController"; }
  void windowDidLoad() override;
  // Closes the window itself and answers false, so the platform's own close path does nothing more.
  bool windowShouldClose(platform::appkit::Window& sender) override;
};

}  // namespace vorellin
