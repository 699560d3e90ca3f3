#include "platform/appkit/View.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QGroupBox>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <map>
#include <mutex>

#include "platform/appkit/Application.h"
#include "platform/appkit/QtSupport.h"
#include "platform/appkit/Window.h"
#include "platform/foundation/Bundle.h"

namespace platform::appkit {

using qt::q;
using qt::s;

// ---- images ----

std::shared_ptr<Image> Image::named(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<Image>> cache;  // keyed by resource folder and name
  std::shared_ptr<Bundle> bundle = Bundle::main();
  if (!bundle) return nullptr;
  const std::string key = bundle->resourcePath() + "\n" + name;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  for (const char* type : {"png", "svg", "jpg"}) {
    if (auto path = bundle->pathForResource(name, type)) {
      auto image = std::make_shared<Image>(name, *path);
      cache[key] = image;
      return image;
    }
  }
  return nullptr;
}

std::shared_ptr<Image> Image::fromFile(const std::string& name, const std::string& path) {
  return std::make_shared<Image>(name, path);
}

Size Image::size() const {
  QImageReader reader(q(path_));
  QSize sz = reader.size();
  if (!sz.isValid()) return {};
  return {double(sz.width()), double(sz.height())};
}

static QPixmap pixmapOf(const std::shared_ptr<Image>& image) {
  if (!image) return {};
  return QPixmap(q(image->path()));
}

// ---- views ----

struct View::Impl {
  QPointer<QWidget> widget;
  const QWidget* key = nullptr;  // the registry's key, still known after Qt deleted the widget
  bool hidden = false;
};

namespace {
std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
std::map<const QWidget*, std::weak_ptr<View>>& registry() {
  static auto* r = new std::map<const QWidget*, std::weak_ptr<View>>();
  return *r;
}
}  // namespace

View::View(QWidget* widget) : impl_(std::make_unique<Impl>()) {
  qt::ensureApplication();
  impl_->widget = widget;
  impl_->key = widget;
  impl_->hidden = widget && widget->isHidden() && widget->parentWidget() && !widget->isVisibleTo(widget->parentWidget());
}

View::~View() {
  qt::endAlphaAnimation(this);
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto it = registry().find(impl_->key);
    if (it != registry().end() && it->second.lock().get() == nullptr) registry().erase(it);
  }
  if (impl_->widget && !impl_->widget->parentWidget()) delete impl_->widget.data();
}

void qt::registerView(const std::shared_ptr<View>& view) {
  std::lock_guard<std::mutex> lock(registryMutex());
  registry()[view->widget()] = view;
}

// Every view is made through this, so the widget can find its view again.
template <typename T>
static std::shared_ptr<T> adopt(T* raw) {
  std::shared_ptr<T> view(raw);
  qt::registerView(view);
  return view;
}

std::shared_ptr<View> View::make(Rect frame) {
  qt::ensureApplication();
  auto* w = new QWidget();
  w->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
  return adopt(new View(w));
}

std::shared_ptr<View> View::forWidget(const QWidget* widget) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(widget);
  return it == registry().end() ? nullptr : it->second.lock();
}

QWidget* View::widget() const { return impl_->widget.data(); }

std::string View::identifier() const { return impl_->widget ? s(impl_->widget->objectName()) : ""; }
void View::setIdentifier(const std::string& identifier) {
  if (impl_->widget) impl_->widget->setObjectName(q(identifier));
}

void View::addSubview(const std::shared_ptr<View>& view) {
  if (!view || view.get() == this) return;
  view->removeFromSuperview();
  if (impl_->widget && view->widget()) {
    view->widget()->setParent(impl_->widget);
    view->widget()->setVisible(!view->impl_->hidden);
  }
  view->superview_ = weak_from_this();
  subviews_.push_back(view);
}

void View::removeFromSuperview() {
  auto parent = superview_.lock();
  superview_.reset();
  if (parent) {
    auto& list = parent->subviews_;
    for (auto it = list.begin(); it != list.end(); ++it)
      if (it->get() == this) {
        std::shared_ptr<View> keep = *it;  // the caller may hold the last reference elsewhere
        list.erase(it);
        break;
      }
  }
  if (impl_->widget && impl_->widget->parentWidget()) {
    impl_->widget->hide();
    impl_->widget->setParent(nullptr);
  }
}

std::shared_ptr<View> View::viewWithIdentifier(const std::string& identifier) {
  if (this->identifier() == identifier) return shared_from_this();
  for (auto& sub : subviews_)
    if (auto found = sub->viewWithIdentifier(identifier)) return found;
  return nullptr;
}

std::shared_ptr<Window> View::window() const {
  if (!impl_->widget) return nullptr;
  QWidget* top = impl_->widget->window();
  if (!top || top == impl_->widget) {
    // A view without a parent widget is in no window.
    return nullptr;
  }
  return Window::forWidget(top);
}

Rect View::frame() const {
  if (!impl_->widget) return {};
  QRect g = impl_->widget->geometry();
  return Rect(g.x(), g.y(), g.width(), g.height());
}

void View::setFrame(const Rect& frame) {
  if (impl_->widget)
    impl_->widget->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
}

Rect View::frameInWindow() const {
  if (!impl_->widget) return {};
  QWidget* top = impl_->widget->window();
  const QRect g = impl_->widget->geometry();
  if (!top || top == impl_->widget || !impl_->widget->parentWidget()) return frame();
  const QPoint origin = impl_->widget->parentWidget()->mapTo(top, g.topLeft());
  return Rect(origin.x(), origin.y(), g.width(), g.height());
}

bool View::saveScreenshot(const std::string& path) const {
  return impl_->widget && impl_->widget->grab().save(q(path), "PNG");
}

Color View::textColor() const {
  if (!impl_->widget) return {};
  const QWidget* w = impl_->widget;
  // Style sheets put their colours into the palette of each state when they style the widget.
  w->ensurePolished();
  const QPalette::ColorGroup group = !w->isEnabled()        ? QPalette::Disabled
                                     : w->isActiveWindow() ? QPalette::Active
                                                           : QPalette::Inactive;
  const QColor c = w->palette().color(group, w->foregroundRole());
  return {c.redF(), c.greenF(), c.blueF(), c.alphaF()};
}

bool View::isHidden() const { return impl_->hidden; }

void View::setHidden(bool hidden) {
  impl_->hidden = hidden;
  // A widget without a parent would become a top-level window when shown: only record it then.
  if (impl_->widget && impl_->widget->parentWidget()) impl_->widget->setVisible(!hidden);
}

void View::setAlphaValue(double alpha) {
  qt::endAlphaAnimation(this);
  applyAlpha(alpha);
}

void View::applyAlpha(double alpha) {
  alpha_ = alpha < 0 ? 0 : (alpha > 1 ? 1 : alpha);
  if (!impl_->widget) return;
  if (alpha_ >= 1.0) {
    impl_->widget->setGraphicsEffect(nullptr);
  } else {
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(impl_->widget->graphicsEffect());
    if (!effect) {
      effect = new QGraphicsOpacityEffect();
      impl_->widget->setGraphicsEffect(effect);
    }
    effect->setOpacity(alpha_);
  }
  impl_->widget->update();
}

// ---- box ----

std::shared_ptr<Box> Box::make(Rect frame, const std::string& title) {
  qt::ensureApplication();
  QWidget* w = title.empty() ? static_cast<QWidget*>(new QFrame()) : new QGroupBox(q(title));
  w->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
  return adopt(new Box(w));
}

std::string Box::title() const {
  if (auto* g = qobject_cast<QGroupBox*>(widget())) return s(g->title());
  return "";
}

void Box::setTitle(const std::string& title) {
  if (auto* g = qobject_cast<QGroupBox*>(widget())) g->setTitle(q(title));
}

// ---- controls ----

bool Control::sendAction() {
  if (action_.empty()) return false;
  return Application::shared().sendAction(action_, target_.lock(), this);
}

bool Control::isEnabled() const { return widget() && widget()->isEnabled(); }
void Control::setEnabled(bool enabled) {
  if (widget()) widget()->setEnabled(enabled);
}

Button::Button(QWidget* widget, ButtonType type) : Control(widget), type_(type) {
  auto* b = qobject_cast<QAbstractButton*>(widget);
  if (b) {
    attributedTitle_.string = s(b->text());
    QObject::connect(b, &QAbstractButton::clicked, b, [b] {
      if (auto view = std::dynamic_pointer_cast<Button>(View::forWidget(b))) view->sendAction();
    });
  }
}

std::shared_ptr<Button> Button::make(ButtonType type, const std::string& title, Rect frame) {
  qt::ensureApplication();
  QAbstractButton* w = nullptr;
  switch (type) {
    case ButtonType::MomentaryPushIn: w = new QPushButton(q(title)); break;
    case ButtonType::Switch: w = new QCheckBox(q(title)); break;
    case ButtonType::Radio: w = new QRadioButton(q(title)); break;
  }
  w->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
  return adopt(new Button(w, type));
}

std::string Button::title() const {
  auto* b = qobject_cast<QAbstractButton*>(widget());
  return b ? s(b->text()) : "";
}

void Button::setTitle(const std::string& title) {
  attributedTitle_ = AttributedString{title, std::nullopt, TextAlignment::Natural};
  if (auto* b = qobject_cast<QAbstractButton*>(widget())) b->setText(q(title));
}

void Button::setAttributedTitle(const AttributedString& title) {
  attributedTitle_ = title;
  auto* b = qobject_cast<QAbstractButton*>(widget());
  if (!b) return;
  b->setText(q(title.string));
  if (title.foregroundColor) {
    const Color& c = *title.foregroundColor;
    b->setStyleSheet(QString("color: rgba(%1, %2, %3, %4);")
                         .arg(int(c.red * 255))
                         .arg(int(c.green * 255))
                         .arg(int(c.blue * 255))
                         .arg(int(c.alpha * 255)));
  }
}

void Button::setImage(const std::shared_ptr<Image>& image) {
  image_ = image;
  auto* b = qobject_cast<QAbstractButton*>(widget());
  if (!b) return;
  if (!image) {
    b->setIcon(QIcon());
    return;
  }
  b->setIcon(QIcon(pixmapOf(image)));
  b->setIconSize(b->size().isEmpty() ? QSize(32, 32) : b->size() - QSize(8, 8));
}

int Button::state() const {
  auto* b = qobject_cast<QAbstractButton*>(widget());
  return b && b->isCheckable() && b->isChecked() ? ControlStateOn : ControlStateOff;
}

void Button::setState(int state) {
  auto* b = qobject_cast<QAbstractButton*>(widget());
  if (b && b->isCheckable()) b->setChecked(state != ControlStateOff);
}

void Button::performClick(Object*) {
  // A real click: the state flips first, then clicked() sends the action.
  if (auto* b = qobject_cast<QAbstractButton*>(widget())) b->click();
}

// ---- text fields ----

static void connectReturn(QLineEdit* edit) {
  QObject::connect(edit, &QLineEdit::returnPressed, edit, [edit] {
    if (auto view = std::dynamic_pointer_cast<Control>(View::forWidget(edit))) view->sendAction();
  });
}

std::shared_ptr<TextField> TextField::makeField(const std::string& text, Rect frame) {
  qt::ensureApplication();
  auto* w = new QLineEdit(q(text));
  w->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
  connectReturn(w);
  return adopt(new TextField(w));
}

std::shared_ptr<TextField> TextField::makeLabel(const std::string& text, Rect frame) {
  qt::ensureApplication();
  auto* w = new QLabel(q(text));
  w->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
  return adopt(new TextField(w));
}

std::string TextField::stringValue() const {
  if (auto* e = qobject_cast<QLineEdit*>(widget())) return s(e->text());
  if (auto* l = qobject_cast<QLabel*>(widget())) return s(l->text());
  return "";
}

void TextField::setStringValue(const std::string& text) {
  if (auto* e = qobject_cast<QLineEdit*>(widget())) e->setText(q(text));
  if (auto* l = qobject_cast<QLabel*>(widget())) l->setText(q(text));
}

bool TextField::isEditable() const {
  auto* e = qobject_cast<QLineEdit*>(widget());
  return e && !e->isReadOnly();
}

void TextField::setEditable(bool editable) {
  if (auto* e = qobject_cast<QLineEdit*>(widget())) e->setReadOnly(!editable);
}

std::string TextField::placeholderString() const {
  auto* e = qobject_cast<QLineEdit*>(widget());
  return e ? s(e->placeholderText()) : "";
}

void TextField::setPlaceholderString(const std::string& text) {
  if (auto* e = qobject_cast<QLineEdit*>(widget())) e->setPlaceholderText(q(text));
}

std::shared_ptr<SecureTextField> SecureTextField::make(Rect frame) {
  qt::ensureApplication();
  auto* w = new QLineEdit();
  w->setEchoMode(QLineEdit::Password);
  w->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
  connectReturn(w);
  return adopt(new SecureTextField(w));
}

// ---- image views ----

std::shared_ptr<ImageView> ImageView::make(Rect frame) {
  qt::ensureApplication();
  auto* w = new QLabel();
  w->setScaledContents(true);
  w->setGeometry(int(frame.origin.x), int(frame.origin.y), int(frame.size.width), int(frame.size.height));
  return adopt(new ImageView(w));
}

void ImageView::setImage(const std::shared_ptr<Image>& image) {
  image_ = image;
  if (auto* l = qobject_cast<QLabel*>(widget())) {
    if (image)
      l->setPixmap(pixmapOf(image));
    else
      l->clear();
  }
}

}  // namespace platform::appkit
