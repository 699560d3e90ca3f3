#include "platform/appkit/ViewController.h"

#include "platform/appkit/InterfaceLoader.h"
#include "platform/appkit/Storyboard.h"
#include "platform/appkit/Window.h"
#include "platform/foundation/Exception.h"

namespace platform::appkit {

ViewController::~ViewController() = default;

std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = View::make();
    viewDidLoad();
  }
  return view_;
}

void ViewController::setView(const std::shared_ptr<View>& view) { view_ = view; }

void ViewController::loadView() {
  if (interfacePath_.empty()) {
    view_ = View::make(Rect(0, 0, 480, 272));
    return;
  }
  std::string error;
  std::shared_ptr<View> loaded = InterfaceLoader::load(interfacePath_, &error);
  if (!loaded) {
    throw Exception("NSInternalInconsistencyException",
                    "Could not load the interface of scene '" + identifier_ + "': " + error);
  }
  view_ = loaded;
  // Actions of the scene's controls go to the scene's controller unless a control names a target.
  std::vector<std::shared_ptr<View>> pending{view_};
  while (!pending.empty()) {
    auto v = pending.back();
    pending.pop_back();
    if (auto control = std::dynamic_pointer_cast<Control>(v))
      if (!control->action().empty() && !control->target()) control->setTarget(shared_from_this());
    for (auto& sub : v->subviews()) pending.push_back(sub);
  }
}

std::shared_ptr<Window> ViewController::window() const { return view_ ? view_->window() : nullptr; }

void ViewController::bindScene(const std::shared_ptr<Storyboard>& storyboard, const std::string& identifier,
                               const std::string& interfacePath) {
  storyboard_ = storyboard;
  identifier_ = identifier;
  interfacePath_ = interfacePath;
}

void ViewController::presentViewController(const std::shared_ptr<ViewController>& viewController,
                                           const std::shared_ptr<ViewControllerPresentationAnimator>& animator) {
  if (!viewController || !animator) return;
  viewController->presenting_ = weak_from_this();
  presented_.push_back(Presentation{viewController, animator});
  animator->animatePresentationOfViewController(viewController, shared_from_this());
}

void ViewController::dismissViewController(const std::shared_ptr<ViewController>& viewController) {
  for (auto it = presented_.begin(); it != presented_.end(); ++it) {
    if (it->controller != viewController) continue;
    Presentation p = *it;
    presented_.erase(it);
    p.animator->animateDismissalOfViewController(p.controller, shared_from_this());
    p.controller->presenting_.reset();
    return;
  }
}

std::vector<std::shared_ptr<ViewController>> ViewController::presentedViewControllers() const {
  std::vector<std::shared_ptr<ViewController>> out;
  for (const auto& p : presented_) out.push_back(p.controller);
  return out;
}

void ViewController::beginAppearance(bool appearing) {
  if (appearing) {
    if (phase_ == Phase::Appeared || phase_ == Phase::Appearing) return;
    phase_ = Phase::Appearing;
    viewWillAppear();
  } else {
    if (phase_ == Phase::Disappeared || phase_ == Phase::Disappearing) return;
    phase_ = Phase::Disappearing;
    viewWillDisappear();
  }
}

void ViewController::endAppearance(bool appearing) {
  if (appearing) {
    if (phase_ != Phase::Appearing) return;
    phase_ = Phase::Appeared;
    appeared_ = true;
    viewDidAppear();
  } else {
    if (phase_ != Phase::Disappearing) return;
    phase_ = Phase::Disappeared;
    appeared_ = false;
    viewDidDisappear();
  }
}

}  // namespace platform::appkit
