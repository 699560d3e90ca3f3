#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

struct Notification {
  std::string name;
  const void* sender = nullptr;
  Dictionary userInfo;
};

using ObserverToken = uint64_t;

// Thread-safe; an observer may remove itself (or others) while being called.
class NotificationCenter {
 public:
  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  static NotificationCenter& defaultCenter();

  // sender == nullptr: any sender. The callback runs synchronously on the posting thread.
  ObserverToken addObserver(const std::string& name, const void* sender, std::function<void(const Notification&)> cb);
  void removeObserver(ObserverToken token);
  void post(const std::string& name, const void* sender = nullptr, Dictionary userInfo = {});

 private:
  struct Entry;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  ObserverToken nextToken_ = 1;
};

}  // namespace platform
