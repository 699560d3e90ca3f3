// The menu-bar status item and its menu. The menu model is what the application builds and what
// tests drive; on a display the item also shows with the same menu, in the system tray where the
// desktop has one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/Responder.h"

namespace platform::appkit {

class Image;

class MenuItem : public Object, public std::enable_shared_from_this<MenuItem> {
 public:
  static std::shared_ptr<MenuItem> make(const std::string& title, const std::string& action,
                                        const std::string& keyEquivalent);
  std::string className() const override { return "NSMenuItem"; }

  const std::string& title() const { return title_; }
  void setTitle(const std::string& title) { title_ = title; }
  const std::string& action() const { return action_; }
  void setAction(const std::string& action) { action_ = action; }
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  void setKeyEquivalent(const std::string& key) { keyEquivalent_ = key; }
  std::shared_ptr<Responder> target() const { return target_.lock(); }
  void setTarget(const std::shared_ptr<Responder>& target) { target_ = target; }

  // What choosing the item does: the action to its target or along the responder chain.
  bool performAction();

 private:
  std::string title_, action_, keyEquivalent_;
  std::weak_ptr<Responder> target_;
};

class Menu : public Object {
 public:
  explicit Menu(std::string title = "") : title_(std::move(title)) {}
  std::string className() const override { return "NSMenu"; }
  const std::string& title() const { return title_; }
  void addItem(const std::shared_ptr<MenuItem>& item) { items_.push_back(item); }
  std::shared_ptr<MenuItem> addItemWithTitle(const std::string& title, const std::string& action,
                                             const std::string& keyEquivalent);
  const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
  std::shared_ptr<MenuItem> itemWithTitle(const std::string& title) const;

 private:
  std::string title_;
  std::vector<std::shared_ptr<MenuItem>> items_;
};

class StatusBarButton : public Object {
 public:
  std::string className() const override { return "NSStatusBarButton"; }
  std::shared_ptr<Image> image() const { return image_; }
  void setImage(const std::shared_ptr<Image>& image);

 private:
  friend class StatusItem;
  std::shared_ptr<Image> image_;
  class StatusItem* item_ = nullptr;
};

class StatusItem : public Object {
 public:
  ~StatusItem() override;
  std::string className() const override { return "NSStatusItem"; }
  double length() const { return length_; }
  StatusBarButton* button() { return &button_; }
  std::shared_ptr<Menu> menu() const { return menu_; }
  void setMenu(const std::shared_ptr<Menu>& menu);
  // True when the item shows on the desktop: as a system-tray icon, or, on a desktop without a
  // tray, as a small status button at the top right of the screen.
  bool isInSystemTray() const;

  // Internal.
  explicit StatusItem(double length);
  void refreshTray();

 private:
  struct Tray;
  double length_;
  StatusBarButton button_;
  std::shared_ptr<Menu> menu_;
  std::unique_ptr<Tray> tray_;
};

class StatusBar {
 public:
  static constexpr double kSquareLength = -2.0;
  static constexpr double kVariableLength = -1.0;
  static StatusBar& systemStatusBar();
  std::shared_ptr<StatusItem> statusItemWithLength(double length);
  void removeStatusItem(const std::shared_ptr<StatusItem>& item);
  std::vector<std::shared_ptr<StatusItem>> items() const { return items_; }

 private:
  std::vector<std::shared_ptr<StatusItem>> items_;
};

}  // namespace platform::appkit
