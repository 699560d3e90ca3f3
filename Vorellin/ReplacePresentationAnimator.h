// Moving from one view of the application window to the next: the old view fades out, the new view
// controller becomes the window's content and fades in. No second window, no sheet.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/ViewController.h"

namespace vorellin {

class ReplacePresentationAnimator : public platform::appkit::ViewControllerPresentationAnimator {
 public:
  void animatePresentationOfViewController(
      const std::shared_ptr<platform::appkit::ViewController>& viewController,
      const std::shared_ptr<platform::appkit::ViewController>& fromViewController) override;
  void animateDismissalOfViewController(
      const std::shared_ptr<platform::appkit::ViewController>& viewController,
      const std::shared_ptr<platform::appkit::ViewController>& fromViewController) override;
};

// The step every view uses to hand the window on: the controller of the identifier in the main
// storyboard "Main", presented from `from` with a new ReplacePresentationAnimator. Returns it.
std::shared_ptr<platform::appkit::ViewController> presentStoryboardScene(
    const std::shared_ptr<platform::appkit::ViewController>& from, const std::string& identifier);

}  // namespace vorellin
