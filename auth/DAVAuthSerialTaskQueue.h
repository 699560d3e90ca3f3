// Runs tasks one at a time, each holding the queue until it calls its completion, even when its work
// goes on elsewhere. Tasks run on the global work queue.
#pragma once

#include <functional>

#include "platform/dispatch/Queue.h"

inline constexpr const char kDAVAuthSerialTaskQueueLabel[] = "com.variru.davedove.auth.serialTaskQueue";

using DAVAuthSerialTaskCompletionBlock = std::function<void()>;
// A task must call its completion exactly once; a second call is ignored.
using DAVAuthSerialTask = std::function<void(DAVAuthSerialTaskCompletionBlock complete)>;

class DAVAuthSerialTaskQueue {
 public:
  DAVAuthSerialTaskQueue();
  // Returns at once; the task starts after every earlier task has completed.
  void enqueueTask(DAVAuthSerialTask task);

 private:
  platform::dispatch::QueuePtr dispatchQueue_;
};
