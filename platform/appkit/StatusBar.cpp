#include "platform/appkit/StatusBar.h"

#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <algorithm>

#include "platform/appkit/Application.h"
#include "platform/appkit/QtSupport.h"
#include "platform/appkit/View.h"

namespace platform::appkit {

std::shared_ptr<MenuItem> MenuItem::make(const std::string& title, const std::string& action,
                                         const std::string& keyEquivalent) {
  auto item = std::make_shared<MenuItem>();
  item->title_ = title;
  item->action_ = action;
  item->keyEquivalent_ = keyEquivalent;
  return item;
}

bool MenuItem::performAction() { return Application::shared().sendAction(action_, target_.lock(), this); }

std::shared_ptr<MenuItem> Menu::addItemWithTitle(const std::string& title, const std::string& action,
                                                 const std::string& keyEquivalent) {
  auto item = MenuItem::make(title, action, keyEquivalent);
  addItem(item);
  return item;
}

std::shared_ptr<MenuItem> Menu::itemWithTitle(const std::string& title) const {
  for (const auto& item : items_)
    if (item->title() == title) return item;
  return nullptr;
}

void StatusBarButton::setImage(const std::shared_ptr<Image>& image) {
  image_ = image;
  if (item_) item_->refreshTray();
}

struct StatusItem::Tray {
  QSystemTrayIcon icon;
  QMenu menu;
};

StatusItem::StatusItem(double length) : length_(length) { button_.item_ = this; }

StatusItem::~StatusItem() = default;

void StatusItem::setMenu(const std::shared_ptr<Menu>& menu) {
  menu_ = menu;
  refreshTray();
}

bool StatusItem::isInSystemTray() const { return tray_ && tray_->icon.isVisible(); }

void StatusItem::refreshTray() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  if (!tray_) tray_ = std::make_unique<Tray>();
  if (auto image = button_.image()) tray_->icon.setIcon(QIcon(QPixmap(qt::q(image->path()))));
  tray_->menu.clear();
  if (menu_) {
    for (const auto& item : menu_->items()) {
      QAction* action = tray_->menu.addAction(qt::q(item->title()));
      if (!item->keyEquivalent().empty()) action->setShortcut(QKeySequence(qt::q("Ctrl+" + item->keyEquivalent())));
      std::weak_ptr<MenuItem> weak = item;
      QObject::connect(action, &QAction::triggered, action, [weak] {
        if (auto strong = weak.lock()) strong->performAction();
      });
    }
  }
  tray_->icon.setContextMenu(&tray_->menu);
  if (!tray_->icon.icon().isNull()) tray_->icon.show();
}

StatusBar& StatusBar::systemStatusBar() {
  static auto* bar = new StatusBar();
  return *bar;
}

std::shared_ptr<StatusItem> StatusBar::statusItemWithLength(double length) {
  qt::ensureApplication();
  auto item = std::make_shared<StatusItem>(length);
  items_.push_back(item);
  return item;
}

void StatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
  items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
}

}  // namespace platform::appkit
