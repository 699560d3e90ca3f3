// Modal alerts. The application asks the shared presenter; the window layer puts an on-screen one in
// place, and until then (tests, headless runs) a recording presenter keeps every alert it was given.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::appkit {

enum class AlertStyle { Warning, Informational, Critical };

struct Alert {
  std::string messageText;
  std::string informativeText;
  AlertStyle style = AlertStyle::Warning;
  std::vector<std::string> buttons;  // first is the default button

  bool operator==(const Alert& o) const {
    return messageText == o.messageText && informativeText == o.informativeText && style == o.style &&
           buttons == o.buttons;
  }
};

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Shows the alert modally on the main thread and returns the index of the button that closed it.
  virtual size_t runModal(const Alert& alert) = 0;

  // A RecordingAlertPresenter until another one is set; nullptr puts a fresh recording one back.
  static std::shared_ptr<AlertPresenter> shared();
  static void setShared(std::shared_ptr<AlertPresenter> presenter);
};

// Keeps every alert and answers with a chosen button (the first by default) without waiting.
class RecordingAlertPresenter : public AlertPresenter {
 public:
  size_t runModal(const Alert& alert) override;

  std::vector<Alert> alerts() const;
  size_t count() const;
  void clear();
  void setAnswer(size_t buttonIndex);

 private:
  mutable std::mutex mutex_;
  std::vector<Alert> alerts_;
  size_t answer_ = 0;
};

}  // namespace platform::appkit
