#include "auth/DAVAuthSerialTaskQueue.h"

#include <atomic>
#include <memory>

#include "auth/DAVAuthGlobalWorkQueue.h"

DAVAuthSerialTaskQueue::DAVAuthSerialTaskQueue()
    : dispatchQueue_(platform::dispatch::Queue::serial(kDAVAuthSerialTaskQueueLabel,
                                                       platform::dispatch::QoS::Default, DAVAuthGlobalWorkQueue())) {}

void DAVAuthSerialTaskQueue::enqueueTask(DAVAuthSerialTask task) {
  platform::dispatch::QueuePtr queue = dispatchQueue_;
  queue->async([queue, task = std::move(task)] {
    queue->suspend();
    // The completion keeps the queue alive and resumes it once, whatever the task does.
    auto done = std::make_shared<std::atomic<bool>>(false);
    task([queue, done] {
      if (!done->exchange(true)) queue->resume();
    });
  });
}
