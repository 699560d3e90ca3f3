#include "platform/appkit/WindowController.h"

#include "platform/appkit/ViewController.h"

namespace platform::appkit {

WindowController::~WindowController() {
  if (window_ && window_->delegate() == this) window_->setDelegate(nullptr);
}

void WindowController::setWindow(const std::shared_ptr<Window>& window) {
  if (window_ && window_->delegate() == this) window_->setDelegate(nullptr);
  window_ = window;
  if (!window_) return;
  window_->setWindowController(shared_from_this());
  window_->setDelegate(this);
  window_->setReleasedWhenClosed(false);  // the controller keeps its window for the next showWindow
  windowDidLoad();
}

std::shared_ptr<ViewController> WindowController::contentViewController() const {
  return window_ ? window_->contentViewController() : nullptr;
}

void WindowController::setContentViewController(const std::shared_ptr<ViewController>& controller) {
  if (window_) window_->setContentViewController(controller);
}

void WindowController::showWindow(Object* sender) {
  if (window_) window_->makeKeyAndOrderFront(sender);
}

void WindowController::close() {
  if (window_) window_->close();
}

}  // namespace platform::appkit
