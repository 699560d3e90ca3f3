#include "sdk-core/DAVComponentContainer.h"

#include <algorithm>

#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVComponentLifecycleMaintainer.h"
#include "sdk-core/DAVLogger.h"

namespace {

std::mutex gRegistrantsMutex;  // guards the process-wide registrant list
std::vector<DAVLibraryPtr>& registrantList() {
  static auto* registrants = new std::vector<DAVLibraryPtr>();
  return *registrants;
}

}  // namespace

void DAVComponentContainer::registerAsComponentRegistrant(const DAVLibraryPtr& library) {
  std::lock_guard<std::mutex> lock(gRegistrantsMutex);
  registerAsComponentRegistrant(library, registrantList());
}

void DAVComponentContainer::registerAsComponentRegistrant(const DAVLibraryPtr& library,
                                                          std::vector<DAVLibraryPtr>& registrants) {
  if (!library) return;
  bool known = std::any_of(registrants.begin(), registrants.end(), [&](const DAVLibraryPtr& existing) {
    return existing == library || existing->className == library->className;
  });
  if (!known) registrants.push_back(library);
}

std::vector<DAVLibraryPtr> DAVComponentContainer::componentRegistrants() {
  std::lock_guard<std::mutex> lock(gRegistrantsMutex);
  return registrantList();
}

DAVComponentContainer::DAVComponentContainer(const std::shared_ptr<DAVApp>& app)
    : DAVComponentContainer(app, componentRegistrants()) {}

DAVComponentContainer::DAVComponentContainer(const std::shared_ptr<DAVApp>& app,
                                             const std::vector<DAVLibraryPtr>& registrants)
    : app_(app) {
  populateFromRegistrants(registrants, app && app->isDefaultApp());
}

void DAVComponentContainer::populateFromRegistrants(const std::vector<DAVLibraryPtr>& registrants,
                                                    bool isDefaultApp) {
  // Runs inside the constructor: nobody else can see the container yet.
  // Registration order decides which of two components for one protocol stays: the first.
  for (const auto& library : registrants) {
    if (!library || !library->componentsToRegister) continue;
    for (const auto& component : library->componentsToRegister()) {
      if (!component) continue;
      const std::string& key = component->protocol().name();
      if (components_.count(key)) {
        DAVLogError(kDAVLoggerCore, "I-COR000029",
                    "Attempted to register protocol %s, but it already has an implementation.", key.c_str());
        continue;
      }
      components_[key] = component->creationBlock();
      bool eager = component->instantiationTiming() == DAVInstantiationTimingAlwaysEager ||
                   (component->instantiationTiming() == DAVInstantiationTimingEagerInDefaultApp && isDefaultApp);
      if (eager) instantiateInstanceForProtocol(component->protocol(), component->creationBlock());
    }
  }
}

std::shared_ptr<platform::Object> DAVComponentContainer::instantiateInstanceForProtocol(
    const DAVProtocol& protocol, const DAVComponentCreationBlock& block) {
  if (!block) return nullptr;
  // The creation function runs without the lock: it may block on work that looks up other services.
  bool isCacheable = false;
  std::shared_ptr<platform::Object> instance = block(this, &isCacheable);
  if (!instance) return nullptr;
  if (!protocol.isConformedBy(*instance)) {
    DAVLogError(kDAVLoggerCore, "I-COR000030",
                "An instance conforming to %s was requested, but the instance provided does not conform to the "
                "protocol",
                protocol.name().c_str());
  }
  if (isCacheable) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Two threads may have made one each at once: everybody gets the one cached first.
    auto inserted = cachedInstances_.emplace(protocol.name(), instance);
    return inserted.first->second;
  }
  return instance;
}

std::shared_ptr<platform::Object> DAVComponentContainer::instanceForProtocol(const DAVProtocol& protocol) {
  DAVComponentCreationBlock block;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto cached = cachedInstances_.find(protocol.name());
    if (cached != cachedInstances_.end()) return cached->second;
    auto component = components_.find(protocol.name());
    if (component == components_.end()) return nullptr;
    block = component->second;
  }
  return instantiateInstanceForProtocol(protocol, block);
}

void DAVComponentContainer::removeAllCachedInstances() {
  std::map<std::string, std::shared_ptr<platform::Object>> instances;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    instances = cachedInstances_;
  }
  auto app = app_.lock();
  for (const auto& entry : instances) {
    auto* maintainer = dynamic_cast<DAVComponentLifecycleMaintainer*>(entry.second.get());
    if (maintainer) maintainer->appWillBeDeleted(app);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  cachedInstances_.clear();
}

std::map<std::string, DAVComponentCreationBlock> DAVComponentContainer::components() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return components_;
}

void DAVComponentContainer::setComponents(std::map<std::string, DAVComponentCreationBlock> components) {
  std::lock_guard<std::mutex> lock(mutex_);
  components_ = std::move(components);
}

std::map<std::string, std::shared_ptr<platform::Object>> DAVComponentContainer::cachedInstances() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cachedInstances_;
}

void DAVComponentContainer::setCachedInstances(std::map<std::string, std::shared_ptr<platform::Object>> instances) {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedInstances_ = std::move(instances);
}
