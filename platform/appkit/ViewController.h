// View controllers: a lazily loaded view (from a storyboard scene or made in code), the five
// life-cycle callbacks, and presentation through an animator.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/Responder.h"
#include "platform/appkit/View.h"

namespace platform::appkit {

class Storyboard;
class ViewController;
class Window;

// Decides how a presented view controller comes on screen and how it leaves.
class ViewControllerPresentationAnimator {
 public:
  virtual ~ViewControllerPresentationAnimator() = default;
  virtual void animatePresentationOfViewController(const std::shared_ptr<ViewController>& viewController,
                                                   const std::shared_ptr<ViewController>& fromViewController) = 0;
  virtual void animateDismissalOfViewController(const std::shared_ptr<ViewController>& viewController,
                                                const std::shared_ptr<ViewController>& fromViewController) = 0;
};

class ViewController : public Responder, public std::enable_shared_from_this<ViewController> {
 public:
  ViewController() = default;
  ~ViewController() override;
  std::string className() const override { return "NSViewController"; }

  // Loads the view on first use (loadView, then viewDidLoad).
  std::shared_ptr<View> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  void setView(const std::shared_ptr<View>& view);

  // Outlet lookup by the view's identifier in the loaded interface.
  template <typename T>
  std::shared_ptr<T> outlet(const std::string& identifier) {
    return view()->find<T>(identifier);
  }

  // The window of the view, if the view is loaded and in one.
  std::shared_ptr<Window> window() const;

  const std::string& identifier() const { return identifier_; }
  std::shared_ptr<Storyboard> storyboard() const { return storyboard_.lock(); }

  // The animator decides what happens; the presented controller is remembered with it.
  void presentViewController(const std::shared_ptr<ViewController>& viewController,
                             const std::shared_ptr<ViewControllerPresentationAnimator>& animator);
  void dismissViewController(const std::shared_ptr<ViewController>& viewController);
  std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }
  std::vector<std::shared_ptr<ViewController>> presentedViewControllers() const;

  // Life cycle. viewDidLoad once, after the view is loaded; the four appearance callbacks when the
  // controller becomes or stops being the content of a visible window (or its window is shown or
  // closed).
  virtual void viewDidLoad() {}
  virtual void viewWillAppear() {}
  virtual void viewDidAppear() {}
  virtual void viewWillDisappear() {}
  virtual void viewDidDisappear() {}

  bool isAppeared() const { return appeared_; }

  // Internal: scene binding by the storyboard, and appearance transitions by the window.
  void bindScene(const std::shared_ptr<Storyboard>& storyboard, const std::string& identifier,
                 const std::string& interfacePath);
  void beginAppearance(bool appearing);  // viewWillAppear / viewWillDisappear, once per change
  void endAppearance(bool appearing);    // viewDidAppear / viewDidDisappear

 protected:
  // Makes the view: the scene's interface file when there is one, else an empty view.
  virtual void loadView();

 private:
  struct Presentation {
    std::shared_ptr<ViewController> controller;
    std::shared_ptr<ViewControllerPresentationAnimator> animator;
  };
  std::shared_ptr<View> view_;
  std::weak_ptr<Storyboard> storyboard_;
  std::string identifier_;
  std::string interfacePath_;
  std::weak_ptr<ViewController> presenting_;
  std::vector<Presentation> presented_;
  enum class Phase { Disappeared, Appearing, Appeared, Disappearing };
  Phase phase_ = Phase::Disappeared;
  bool appeared_ = false;
};

}  // namespace platform::appkit
