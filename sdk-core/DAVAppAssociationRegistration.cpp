#include "sdk-core/DAVAppAssociationRegistration.h"

#include <map>
#include <mutex>

#include "platform/foundation/Exception.h"

namespace {

struct Association {
  std::weak_ptr<const platform::Object> host;
  // A null entry marks an object being made right now.
  std::map<std::string, std::shared_ptr<platform::Object>> objects;
};

std::recursive_mutex gAssociationMutex;
std::map<const platform::Object*, Association>& associations() {
  static auto* map = new std::map<const platform::Object*, Association>();
  return *map;
}

// Associations die with their hosts; an address reused by a new host starts afresh.
void dropDeadHostsLocked() {
  auto& map = associations();
  for (auto it = map.begin(); it != map.end();) {
    it = it->second.host.expired() ? map.erase(it) : std::next(it);
  }
}

}  // namespace

std::shared_ptr<platform::Object> DAVAppAssociationRegistration::registeredObjectWithHost(
    const std::shared_ptr<const platform::Object>& host, const std::string& key,
    const std::function<std::shared_ptr<platform::Object>()>& creationBlock) {
  if (!host) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(gAssociationMutex);
  dropDeadHostsLocked();
  auto& association = associations()[host.get()];
  association.host = host;
  auto found = association.objects.find(key);
  if (found != association.objects.end()) {
    if (!found->second) {
      platform::raiseFormat("Reentering registeredObjectWithHost:key:creationBlock: not allowed", "host: %@ key: %@",
                            {host->description(), key});
    }
    return found->second;
  }
  association.objects[key] = nullptr;
  std::shared_ptr<platform::Object> created;
  try {
    created = creationBlock ? creationBlock() : nullptr;
  } catch (...) {
    associations()[host.get()].objects.erase(key);
    throw;
  }
  // The creation block may have registered other keys: look the association up again.
  auto& current = associations()[host.get()];
  if (created) {
    current.objects[key] = created;
  } else {
    current.objects.erase(key);
  }
  return created;
}
