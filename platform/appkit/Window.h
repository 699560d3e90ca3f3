// Windows and panels. Frames use bottom-left-origin screen coordinates; window numbers ascend by
// creation. Every window joins the application's window list when made; closing one that is
// released when closed takes it out of the list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/appkit/Geometry.h"
#include "platform/appkit/Responder.h"

class QWidget;

namespace platform::appkit {

class View;
class ViewController;
class WindowController;

enum WindowStyleMask : uint64_t {
  WindowStyleMaskBorderless = 0,
  WindowStyleMaskTitled = 1 << 0,
  WindowStyleMaskClosable = 1 << 1,
  WindowStyleMaskMiniaturizable = 1 << 2,
  WindowStyleMaskResizable = 1 << 3,
};

class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // Asked by performClose (the close button); false keeps the window open.
  virtual bool windowShouldClose(class Window& sender) { return true; }
};

class Window : public Responder, public std::enable_shared_from_this<Window> {
 public:
  static std::shared_ptr<Window> make(const Rect& contentRect,
                                      uint64_t styleMask = WindowStyleMaskTitled | WindowStyleMaskClosable |
                                                           WindowStyleMaskMiniaturizable | WindowStyleMaskResizable);
  ~Window() override;

  std::string className() const override { return "NSWindow"; }
  static constexpr const char* kPlainWindowClassName = "NSWindow";

  int64_t windowNumber() const { return number_; }

  std::string title() const;
  void setTitle(const std::string& title);

  Rect frame() const;
  void setFrame(const Rect& frame, bool display, bool animate = false);
  void center();
  uint64_t styleMask() const { return styleMask_; }
  void setStyleMask(uint64_t mask);

  std::shared_ptr<ViewController> contentViewController() const { return contentViewController_; }
  // Makes the controller's view the content; while the window is visible the old controller gets its
  // disappearance callbacks and the new one its appearance callbacks.
  void setContentViewController(const std::shared_ptr<ViewController>& controller);
  std::shared_ptr<View> contentView() const;

  std::shared_ptr<WindowController> windowController() const { return windowController_.lock(); }
  void setWindowController(const std::shared_ptr<WindowController>& controller);
  WindowDelegate* delegate() const { return delegate_; }
  void setDelegate(WindowDelegate* delegate) { delegate_ = delegate; }

  bool isReleasedWhenClosed() const { return releasedWhenClosed_; }
  void setReleasedWhenClosed(bool released) { releasedWhenClosed_ = released; }

  void makeKeyAndOrderFront(Object* sender = nullptr);
  void orderFront(Object* sender = nullptr);
  void orderOut(Object* sender = nullptr);
  // Closes at once, without asking the delegate.
  void close();
  // The close button's path: asks the delegate's windowShouldClose, closes only on true.
  void performClose(Object* sender = nullptr);

  bool isVisible() const;
  bool isKeyWindow() const;

  // The view that takes what is typed into the window, or nullptr.
  std::shared_ptr<View> firstResponder() const;
  // Gives view the keyboard focus of this window; false when it is not in it or cannot take it.
  bool makeFirstResponder(const std::shared_ptr<View>& view);

  // Renders the window as it is now into a PNG file.
  bool saveScreenshot(const std::string& path) const;

  // Internal.
  QWidget* widget() const;
  static std::shared_ptr<Window> forWidget(const QWidget* widget);

 protected:
  Window(const Rect& contentRect, uint64_t styleMask);
  void registerWithApplication();

 private:
  friend class Application;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int64_t number_ = 0;
  uint64_t styleMask_ = 0;
  bool releasedWhenClosed_ = true;
  std::shared_ptr<ViewController> contentViewController_;
  std::shared_ptr<View> contentView_;
  std::weak_ptr<WindowController> windowController_;
  WindowDelegate* delegate_ = nullptr;
};

// A utility window: not the plain window class.
class Panel : public Window {
 public:
  static std::shared_ptr<Panel> make(const Rect& contentRect,
                                     uint64_t styleMask = WindowStyleMaskTitled | WindowStyleMaskClosable);
  std::string className() const override { return "NSPanel"; }

 protected:
  using Window::Window;
};

}  // namespace platform::appkit
