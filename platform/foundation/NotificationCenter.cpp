#include "platform/foundation/NotificationCenter.h"

#include <atomic>

namespace platform {

struct NotificationCenter::Entry {
  ObserverToken token;
  std::string name;
  const void* sender;
  std::function<void(const Notification&)> callback;
  std::atomic<bool> removed{false};
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // never destroyed: usable during exit
  return *center;
}

ObserverToken NotificationCenter::addObserver(const std::string& name, const void* sender,
                                              std::function<void(const Notification&)> cb) {
  auto entry = std::make_shared<Entry>();
  entry->name = name;
  entry->sender = sender;
  entry->callback = std::move(cb);
  std::lock_guard<std::mutex> lock(mutex_);
  entry->token = nextToken_++;
  entries_.push_back(entry);
  return entry->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->token == token) {
      (*it)->removed = true;  // a post already under way skips it from now on
      entries_.erase(it);
      return;
    }
  }
}

void NotificationCenter::post(const std::string& name, const void* sender, Dictionary userInfo) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& e : entries_)
      if (e->name == name && (e->sender == nullptr || e->sender == sender)) matching.push_back(e);
  }
  // Callbacks run without the lock so they may add or remove observers and post again.
  const Notification note{name, sender, std::move(userInfo)};
  for (const auto& e : matching) {
    if (e->removed) continue;
    if (e->callback) e->callback(note);
  }
}

}  // namespace platform
