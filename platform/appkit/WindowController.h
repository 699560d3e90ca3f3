// Owns one window, answers its close button, and shows it.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/Responder.h"
#include "platform/appkit/Window.h"

namespace platform::appkit {

class Storyboard;
class ViewController;

class WindowController : public Responder, public WindowDelegate, public std::enable_shared_from_this<WindowController> {
 public:
  WindowController() = default;
  ~WindowController() override;
  std::string className() const override { return "NSWindowController"; }

  // Takes the window (it becomes the window's delegate and the window is kept when closed), then
  // windowDidLoad.
  void setWindow(const std::shared_ptr<Window>& window);
  std::shared_ptr<Window> window() const { return window_; }
  std::shared_ptr<ViewController> contentViewController() const;
  void setContentViewController(const std::shared_ptr<ViewController>& controller);
  std::shared_ptr<Storyboard> storyboard() const { return storyboard_.lock(); }

  virtual void windowDidLoad() {}
  bool windowShouldClose(Window& sender) override { return true; }

  void showWindow(Object* sender = nullptr);
  void close();

  // Internal.
  void setStoryboard(const std::shared_ptr<Storyboard>& storyboard) { storyboard_ = storyboard; }

 private:
  std::shared_ptr<Window> window_;
  std::weak_ptr<Storyboard> storyboard_;
};

}  // namespace platform::appkit
