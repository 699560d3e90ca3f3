#include "Vorellin/ReplacePresentationAnimator.h"

#include "platform/appkit/AnimationContext.h"
#include "platform/appkit/Storyboard.h"
#include "platform/appkit/Window.h"

namespace vorellin {

using platform::appkit::AnimationContext;
using platform::appkit::ViewController;

namespace {

// Fades `leaving` out; once the fade is over `coming` becomes the content, transparent, and fades in.
void replace(const std::shared_ptr<ViewController>& leaving, const std::shared_ptr<ViewController>& coming) {
  std::shared_ptr<platform::appkit::Window> window = leaving->view()->window();
  if (!window) return;
  AnimationContext::runAnimationGroup(
      [leaving](AnimationContext&) { leaving->view()->animator().setAlphaValue(0.0); },
      [window, coming] {
        coming->view()->setAlphaValue(0.0);
        window->setContentViewController(coming);
        coming->view()->animator().setAlphaValue(1.0);
      });
}

}  // namespace

void ReplacePresentationAnimator::animatePresentationOfViewController(
    const std::shared_ptr<ViewController>& viewController, const std::shared_ptr<ViewController>& fromViewController) {
  replace(fromViewController, viewController);
}

void ReplacePresentationAnimator::animateDismissalOfViewController(
    const std::shared_ptr<ViewController>& viewController, const std::shared_ptr<ViewController>& fromViewController) {
  replace(viewController, fromViewController);
}

std::shared_ptr<ViewController> presentStoryboardScene(const std::shared_ptr<ViewController>& from,
                                                       const std::string& identifier) {
  auto storyboard = platform::appkit::Storyboard::storyboardWithName("Main");
  auto controller = storyboard->instantiateController<ViewController>(identifier);
  if (controller) from->presentViewController(controller, std::make_shared<ReplacePresentationAnimator>());
  return controller;
}

}  // namespace vorellin
