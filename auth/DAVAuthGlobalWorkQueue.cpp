#include "auth/DAVAuthGlobalWorkQueue.h"

#include <mutex>

platform::dispatch::QueuePtr DAVAuthGlobalWorkQueue() {
  static std::once_flag once;
  static platform::dispatch::QueuePtr* queue = nullptr;  // leaked on purpose: lives for the whole process
  platform::dispatch::once(once, [] {
    queue = new platform::dispatch::QueuePtr(platform::dispatch::Queue::serial(kDAVAuthGlobalWorkQueueLabel));
  });
  return *queue;
}
