#include "platform/appkit/StatusBar.h"

#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QScreen>
#include <QToolButton>
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

// Where the desktop has a system tray the item is a tray icon; where it has none (but a display),
// a small frameless button at the top right of the screen stands for the menu bar.
struct StatusItem::Tray {
  QMenu menu;
  std::unique_ptr<QSystemTrayIcon> icon;
  std::unique_ptr<QToolButton> bar;
};

StatusItem::StatusItem(double length) : length_(length) { button_.item_ = this; }

StatusItem::~StatusItem() = default;

void StatusItem::setMenu(const std::shared_ptr<Menu>& menu) {
  menu_ = menu;
  refreshTray();
}

bool StatusItem::isInSystemTray() const {
  if (!tray_) return false;
  return (tray_->icon && tray_->icon->isVisible()) || (tray_->bar && tray_->bar->isVisible());
}

void StatusItem::refreshTray() {
  const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
  if (!trayAvailable && QGuiApplication::platformName() == "offscreen") return;  // nothing to show on
  if (!tray_) tray_ = std::make_unique<Tray>();
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
  QIcon icon;
  if (auto image = button_.image()) icon = QIcon(QPixmap(qt::q(image->path())));
  if (trayAvailable) {
    if (!tray_->icon) tray_->icon = std::make_unique<QSystemTrayIcon>();
    tray_->icon->setIcon(icon);
    tray_->icon->setContextMenu(&tray_->menu);
    if (!icon.isNull()) tray_->icon->show();
    return;
  }
  if (!tray_->bar) {
    tray_->bar = std::make_unique<QToolButton>();
    tray_->bar->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    tray_->bar->setPopupMode(QToolButton::InstantPopup);
    tray_->bar->setStyleSheet(
        "QToolButton { background: #f4f4f4; border: 1px solid #b8b8b8; border-radius: 5px; }"
        "QToolButton::menu-indicator { image: none; }");
    tray_->bar->setFixedSize(28, 28);
    tray_->bar->setIconSize(QSize(20, 20));
  }
  tray_->bar->setIcon(icon);
  tray_->bar->setMenu(&tray_->menu);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    tray_->bar->move(area.right() - tray_->bar->width() - 8, area.top() + 2);
  }
  if (!icon.isNull()) tray_->bar->show();
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
