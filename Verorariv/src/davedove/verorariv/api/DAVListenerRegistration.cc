#include "davedove/verorariv/api/DAVListenerRegistration.h"

void DAVListenerRegistration::remove() {
  std::function<void()> onRemove;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    onRemove = std::move(onRemove_);
    onRemove_ = nullptr;
  }
  if (onRemove) onRemove();
}
