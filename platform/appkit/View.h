// Views and controls over Qt widgets. A view wraps one widget; the widget tree is the view tree.
// Qt stays out of these headers: the widget is only named, for the window layer and the loader.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Geometry.h"
#include "platform/appkit/Responder.h"

class QWidget;

namespace platform {
class Bundle;
}

namespace platform::appkit {

class Window;
class View;

// A picture from the application's resources, found by name ("Circle On" is Resources/Circle On.png).
class Image : public Object {
 public:
  // The image of that name in the main bundle's resources (.png, .svg, .jpg tried in turn); nullptr
  // when there is none. The same object for the same name.
  static std::shared_ptr<Image> named(const std::string& name);
  static std::shared_ptr<Image> fromFile(const std::string& name, const std::string& path);

  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  Size size() const;  // in pixels; empty when the file cannot be read
  std::string className() const override { return "NSImage"; }

  Image(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}

 private:
  std::string name_;
  std::string path_;
};

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  static Color black() { return {0, 0, 0, 1}; }
  bool operator==(const Color& o) const {
    return red == o.red && green == o.green && blue == o.blue && alpha == o.alpha;
  }
};

enum class TextAlignment { Left, Center, Right, Natural };

// A title with a foreground colour and a paragraph alignment.
struct AttributedString {
  std::string string;
  std::optional<Color> foregroundColor;
  TextAlignment alignment = TextAlignment::Natural;
  bool operator==(const AttributedString& o) const {
    return string == o.string && foregroundColor == o.foregroundColor && alignment == o.alignment;
  }
};

// Sets properties through the running animation group, or with the default implicit animation
// outside one.
class ViewAnimator {
 public:
  explicit ViewAnimator(View& view) : view_(view) {}
  void setAlphaValue(double alpha);

 private:
  View& view_;
};

class View : public Responder, public std::enable_shared_from_this<View> {
 public:
  static std::shared_ptr<View> make(Rect frame = {});
  ~View() override;

  std::string className() const override { return "NSView"; }

  // The widget's object name in the interface file; outlets are found by it.
  std::string identifier() const;
  void setIdentifier(const std::string& identifier);

  std::shared_ptr<View> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  void addSubview(const std::shared_ptr<View>& view);
  void removeFromSuperview();
  // Depth first, this view included.
  std::shared_ptr<View> viewWithIdentifier(const std::string& identifier);
  template <typename T>
  std::shared_ptr<T> find(const std::string& identifier) {
    return std::dynamic_pointer_cast<T>(viewWithIdentifier(identifier));
  }

  // The window this view is shown in (through its top-level view), or nullptr.
  std::shared_ptr<Window> window() const;

  // Frame in the superview, top-left origin (the interface files' coordinates).
  Rect frame() const;
  void setFrame(const Rect& frame);
  // The frame in the coordinates of the window's content (top-left origin); frame() outside a window.
  Rect frameInWindow() const;

  // The view as it is drawn now, subviews included, as a PNG file.
  bool saveScreenshot(const std::string& path) const;
  // The colour its text is drawn in, in the state it is in now: a disabled view's is the disabled one.
  Color textColor() const;

  bool isHidden() const;
  void setHidden(bool hidden);
  double alphaValue() const { return alpha_; }
  void setAlphaValue(double alpha);
  ViewAnimator animator() { return ViewAnimator(*this); }

  // Internal: the wrapped widget (owned by its parent widget, or by this view while it has none).
  QWidget* widget() const;
  static std::shared_ptr<View> forWidget(const QWidget* widget);

 protected:
  explicit View(QWidget* widget);
  friend class InterfaceLoaderAccess;

 private:
  friend class Window;
  friend class ViewAnimator;
  void applyAlpha(double alpha);  // without ending a running fade
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::weak_ptr<View> superview_;
  std::vector<std::shared_ptr<View>> subviews_;
  double alpha_ = 1.0;
};

// A titled or plain container of views.
class Box : public View {
 public:
  static std::shared_ptr<Box> make(Rect frame = {}, const std::string& title = "");
  std::string className() const override { return "NSBox"; }
  std::string title() const;
  void setTitle(const std::string& title);

 protected:
  using View::View;
  friend class InterfaceLoaderAccess;
};

enum ControlState : int { ControlStateOff = 0, ControlStateOn = 1 };

// A control sends its action to its target, or along the responder chain when it has none.
class Control : public View {
 public:
  std::string className() const override { return "NSControl"; }
  const std::string& action() const { return action_; }
  void setAction(const std::string& action) { action_ = action; }
  std::shared_ptr<Responder> target() const { return target_.lock(); }
  void setTarget(const std::shared_ptr<Responder>& target) { target_ = target; }
  bool sendAction();

  bool isEnabled() const;
  void setEnabled(bool enabled);

 protected:
  using View::View;

 private:
  std::string action_;
  std::weak_ptr<Responder> target_;
};

enum class ButtonType { MomentaryPushIn, Switch, Radio };

// Push button, checkbox (Switch) or radio button. A click flips a checkbox (and switches a radio
// button on, and its siblings off) before the action is sent.
class Button : public Control {
 public:
  static std::shared_ptr<Button> make(ButtonType type, const std::string& title = "", Rect frame = {});
  std::string className() const override { return "NSButton"; }

  ButtonType buttonType() const { return type_; }
  std::string title() const;
  void setTitle(const std::string& title);
  const AttributedString& attributedTitle() const { return attributedTitle_; }
  void setAttributedTitle(const AttributedString& title);
  std::shared_ptr<Image> image() const { return image_; }
  void setImage(const std::shared_ptr<Image>& image);
  int state() const;
  void setState(int state);

  // What a mouse click does: flip the state as the type demands, then send the action.
  void performClick(Object* sender = nullptr);

 protected:
  Button(QWidget* widget, ButtonType type);
  friend class InterfaceLoaderAccess;

 private:
  ButtonType type_;
  AttributedString attributedTitle_;
  std::shared_ptr<Image> image_;
};

// An editable field or a label.
class TextField : public Control {
 public:
  static std::shared_ptr<TextField> makeField(const std::string& text = "", Rect frame = {});
  static std::shared_ptr<TextField> makeLabel(const std::string& text = "", Rect frame = {});
  std::string className() const override { return "NSTextField"; }

  std::string stringValue() const;
  void setStringValue(const std::string& text);
  bool isEditable() const;
  void setEditable(bool editable);
  std::string placeholderString() const;
  void setPlaceholderString(const std::string& text);

 protected:
  using Control::Control;
  friend class InterfaceLoaderAccess;
};

// A field that masks what is typed.
class SecureTextField : public TextField {
 public:
  static std::shared_ptr<SecureTextField> make(Rect frame = {});
  std::string className() const override { return "NSSecureTextField"; }

 protected:
  using TextField::TextField;
  friend class InterfaceLoaderAccess;
};

class ImageView : public View {
 public:
  static std::shared_ptr<ImageView> make(Rect frame = {});
  std::string className() const override { return "NSImageView"; }
  std::shared_ptr<Image> image() const { return image_; }
  void setImage(const std::shared_ptr<Image>& image);  // nullptr shows nothing

 protected:
  using View::View;
  friend class InterfaceLoaderAccess;

 private:
  std::shared_ptr<Image> image_;
};

}  // namespace platform::appkit
