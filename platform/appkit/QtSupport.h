// Internal helpers shared by the Qt-backed parts of the application kit.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>

namespace platform::appkit {
class View;
}

namespace platform::appkit::qt {

// Lets the widget find its view again; every view is registered once made.
void registerView(const std::shared_ptr<View>& view);
// Ends the view's running alpha animation, if any (it still counts as finished for its group).
void endAlphaAnimation(const View* view);

inline QString q(const std::string& s) { return QString::fromStdString(s); }
inline std::string s(const QString& q) { return q.toStdString(); }

// From now on the signal runs `action` on the main thread (through the main queue).
void handleSignal(int signo, std::function<void()> action);

// Makes the Qt application on first use (offscreen when the process has no display).
void ensureApplication(int* argc = nullptr, char** argv = nullptr);

}  // namespace platform::appkit::qt
