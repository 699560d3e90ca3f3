#include "platform/appkit/Window.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QWindow>
#include <QGuiApplication>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
#include <atomic>
#include <map>
#include <mutex>

#include "platform/appkit/Application.h"
#include "platform/appkit/QtSupport.h"
#include "platform/appkit/View.h"
#include "platform/appkit/ViewController.h"
#include "platform/appkit/WindowController.h"

namespace platform::appkit {

namespace {

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
std::map<const QWidget*, std::weak_ptr<Window>>& registry() {
  static auto* r = new std::map<const QWidget*, std::weak_ptr<Window>>();
  return *r;
}

std::atomic<int64_t> nextWindowNumber{1};

// The main screen's height, for turning bottom-left frames into Qt's top-left geometry.
QRect screenGeometry() {
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry() : QRect(0, 0, 1440, 900);
}

class WindowWidget : public QWidget {
 public:
  explicit WindowWidget(Window* owner) : owner_(owner) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
  }
  void detach() { owner_ = nullptr; }

 protected:
  void closeEvent(QCloseEvent* event) override {
    // The close button goes through the platform's close path; the window decides itself.
    event->ignore();
    if (owner_) owner_->performClose(nullptr);
  }
  void changeEvent(QEvent* event) override {
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && owner_)
      Application::shared().windowBecameKey(owner_);
    QWidget::changeEvent(event);
  }

 private:
  Window* owner_;
};

}  // namespace

struct Window::Impl {
  QPointer<WindowWidget> widget;
};

Window::Window(const Rect& contentRect, uint64_t styleMask) : impl_(std::make_unique<Impl>()) {
  qt::ensureApplication();
  number_ = nextWindowNumber.fetch_add(1);
  styleMask_ = styleMask;
  impl_->widget = new WindowWidget(this);
  Qt::WindowFlags flags = Qt::Window;
  if (styleMask & WindowStyleMaskTitled) flags |= Qt::WindowTitleHint;
  if (styleMask & WindowStyleMaskClosable) flags |= Qt::WindowCloseButtonHint;
  if (styleMask & WindowStyleMaskMiniaturizable) flags |= Qt::WindowMinimizeButtonHint;
  if (!(styleMask & WindowStyleMaskTitled)) flags |= Qt::FramelessWindowHint;
  impl_->widget->setWindowFlags(flags);
  setFrame(contentRect, false);
}

void Window::registerWithApplication() {
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    registry()[impl_->widget.data()] = weak_from_this();
  }
  Application::shared().addWindow(shared_from_this());
}

std::shared_ptr<Window> Window::make(const Rect& contentRect, uint64_t styleMask) {
  std::shared_ptr<Window> window(new Window(contentRect, styleMask));
  window->registerWithApplication();
  return window;
}

std::shared_ptr<Panel> Panel::make(const Rect& contentRect, uint64_t styleMask) {
  std::shared_ptr<Panel> panel(new Panel(contentRect, styleMask));
  panel->registerWithApplication();
  return panel;
}

Window::~Window() {
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    registry().erase(impl_->widget.data());
  }
  if (impl_->widget) {
    impl_->widget->detach();
    // The content view outlives the window when its controller still holds it.
    if (contentView_ && contentView_->widget()) contentView_->widget()->setParent(nullptr);
    delete impl_->widget.data();
  }
}

std::shared_ptr<Window> Window::forWidget(const QWidget* widget) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(widget);
  return it == registry().end() ? nullptr : it->second.lock();
}

QWidget* Window::widget() const { return impl_->widget.data(); }

std::string Window::title() const { return impl_->widget ? qt::s(impl_->widget->windowTitle()) : ""; }
void Window::setTitle(const std::string& title) {
  if (impl_->widget) impl_->widget->setWindowTitle(qt::q(title));
}

Rect Window::frame() const {
  if (!impl_->widget) return {};
  const QRect g = impl_->widget->geometry();
  const QRect screen = screenGeometry();
  return Rect(g.x(), screen.height() - (g.y() + g.height()), g.width(), g.height());
}

void Window::setFrame(const Rect& frame, bool display, bool animate) {
  if (!impl_->widget) return;
  const QRect screen = screenGeometry();
  const int w = int(frame.size.width), h = int(frame.size.height);
  const int x = int(frame.origin.x);
  const int y = int(screen.height() - (frame.origin.y + frame.size.height));
  if (styleMask_ & WindowStyleMaskResizable) {
    impl_->widget->setMinimumSize(0, 0);
    impl_->widget->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  } else {
    impl_->widget->setFixedSize(w, h);
  }
  impl_->widget->setGeometry(x, y, w, h);
  if (display) impl_->widget->update();
}

void Window::center() {
  const QRect screen = screenGeometry();
  Rect f = frame();
  f.origin.x = (screen.width() - f.size.width) / 2;
  f.origin.y = (screen.height() - f.size.height) / 2;
  setFrame(f, true);
}

void Window::setStyleMask(uint64_t mask) {
  styleMask_ = mask;
  setFrame(frame(), true);  // applies the size constraints of the resizable bit
}

std::shared_ptr<View> Window::contentView() const { return contentView_; }

void Window::setContentViewController(const std::shared_ptr<ViewController>& controller) {
  std::shared_ptr<ViewController> old = contentViewController_;
  if (old == controller) return;
  const bool visible = isVisible();
  std::shared_ptr<View> newView = controller ? controller->view() : nullptr;
  if (visible && old) old->beginAppearance(false);
  if (visible && controller) controller->beginAppearance(true);

  auto* layout = impl_->widget ? impl_->widget->layout() : nullptr;
  if (contentView_ && contentView_->widget() && layout) {
    layout->removeWidget(contentView_->widget());
    contentView_->widget()->hide();
    contentView_->widget()->setParent(nullptr);
  }
  contentViewController_ = controller;
  contentView_ = newView;
  if (newView && newView->widget() && layout) {
    newView->removeFromSuperview();
    newView->widget()->setParent(impl_->widget);
    layout->addWidget(newView->widget());
    newView->widget()->setVisible(!newView->isHidden());
  }

  if (visible && old) old->endAppearance(false);
  if (visible && controller) controller->endAppearance(true);
}

void Window::setWindowController(const std::shared_ptr<WindowController>& controller) {
  windowController_ = controller;
}

void Window::orderFront(Object*) {
  if (!impl_->widget) return;
  if (!impl_->widget->isVisible()) {
    auto controller = contentViewController_;
    if (controller) controller->beginAppearance(true);
    impl_->widget->show();
    if (controller) controller->endAppearance(true);
  }
  if (QGuiApplication::platformName() != "offscreen") impl_->widget->raise();  // offscreen has no stacking
}

void Window::makeKeyAndOrderFront(Object* sender) {
  orderFront(sender);
  if (!impl_->widget) return;
  if (QGuiApplication::platformName() != "offscreen") impl_->widget->activateWindow();
  Application::shared().windowBecameKey(this);
}

void Window::orderOut(Object*) {
  if (!impl_->widget || !impl_->widget->isVisible()) return;
  auto controller = contentViewController_;
  if (controller) controller->beginAppearance(false);
  impl_->widget->hide();
  if (controller) controller->endAppearance(false);
}

void Window::close() {
  auto keep = shared_from_this();  // the application may drop its reference below
  orderOut(nullptr);
  Application::shared().windowClosed(this);
}

void Window::performClose(Object* sender) {
  if (delegate_ && !delegate_->windowShouldClose(*this)) return;
  close();
}

bool Window::isVisible() const { return impl_->widget && impl_->widget->isVisible(); }

std::shared_ptr<View> Window::firstResponder() const {
  QWidget* focus = impl_->widget ? impl_->widget->focusWidget() : nullptr;
  return focus ? View::forWidget(focus) : nullptr;
}

bool Window::makeFirstResponder(const std::shared_ptr<View>& view) {
  QWidget* w = view ? view->widget() : nullptr;
  if (!impl_->widget || !w || w->window() != impl_->widget.data() || !w->isEnabled() ||
      w->focusPolicy() == Qt::NoFocus)
    return false;
  // Also in a window that is not active yet: the focus is where its keys go once it is.
  w->setFocus(Qt::OtherFocusReason);
  return impl_->widget->focusWidget() == w;
}

bool Window::isKeyWindow() const { return Application::shared().keyWindow().get() == this; }

bool Window::saveScreenshot(const std::string& path) const {
  if (!impl_->widget) return false;
  QWindow* handle = impl_->widget->windowHandle();
  if (QGuiApplication::platformName() == "offscreen" || !handle || !impl_->widget->isVisible())
    return impl_->widget->grab().save(qt::q(path), "PNG");
  // On a display server: what the server shows, once the window has been exposed and painted.
  QElapsedTimer clock;
  clock.start();
  while (!handle->isExposed() && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  impl_->widget->repaint();
  QCoreApplication::processEvents();
  QScreen* screen = handle->screen();
  if (!screen) return false;
  return screen->grabWindow(impl_->widget->winId()).save(qt::q(path), "PNG");
}

}  // namespace platform::appkit
