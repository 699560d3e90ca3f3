#include "platform/appkit/AlertPresenter.h"

namespace platform::appkit {
namespace {

struct SharedState {
  std::mutex mutex;
  std::shared_ptr<AlertPresenter> presenter = std::make_shared<RecordingAlertPresenter>();
};

SharedState& sharedState() {
  static SharedState* state = new SharedState();  // alerts may still be shown during exit
  return *state;
}

}  // namespace

std::shared_ptr<AlertPresenter> AlertPresenter::shared() {
  SharedState& st = sharedState();
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.presenter;
}

void AlertPresenter::setShared(std::shared_ptr<AlertPresenter> presenter) {
  SharedState& st = sharedState();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.presenter = presenter ? std::move(presenter) : std::make_shared<RecordingAlertPresenter>();
}

size_t RecordingAlertPresenter::runModal(const Alert& alert) {
  std::lock_guard<std::mutex> lock(mutex_);
  alerts_.push_back(alert);
  if (alert.buttons.empty()) return 0;
  return answer_ < alert.buttons.size() ? answer_ : alert.buttons.size() - 1;
}

std::vector<Alert> RecordingAlertPresenter::alerts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return alerts_;
}

size_t RecordingAlertPresenter::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return alerts_.size();
}

void RecordingAlertPresenter::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  alerts_.clear();
}

void RecordingAlertPresenter::setAnswer(size_t buttonIndex) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = buttonIndex;
}

}  // namespace platform::appkit
