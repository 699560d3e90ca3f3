// The window's first content: decides at once whether the user must sign in.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/appkit/ViewController.h"
#include "platform/foundation/NotificationCenter.h"

namespace platform::appkit {
class Window;
}

namespace vorellin {

class Loading : public platform::appkit::ViewController {
 public:
  std::string className() const override { return "Loading"; }

  void viewDidLoad() override {}
  void viewDidAppear() override;
  void viewDidDisappear() override;

  std::shared_ptr<platform::appkit::Window> window;
  std::optional<platform::ObserverToken> handle;

 private:
  // A listener call after the view was already handed on presents nothing more.
  bool handedOn_ = false;
};

}  // namespace vorellin
