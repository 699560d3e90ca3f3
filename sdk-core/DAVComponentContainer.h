// One per configured app: makes and caches the instances that the registered libraries' components offer.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk-core/DAVComponent.h"
#include "sdk-core/DAVLibrary.h"

class DAVApp;

class DAVComponentContainer {
 public:
  // Adds a library to the process-wide registrants; a library (by class name) is held once, and
  // registrants are kept in registration order.
  static void registerAsComponentRegistrant(const DAVLibraryPtr& library);
  static void registerAsComponentRegistrant(const DAVLibraryPtr& library, std::vector<DAVLibraryPtr>& registrants);
  static std::vector<DAVLibraryPtr> componentRegistrants();

  // Reads the process-wide registrants once, here; eager components are instantiated at once.
  explicit DAVComponentContainer(const std::shared_ptr<DAVApp>& app);
  DAVComponentContainer(const std::shared_ptr<DAVApp>& app, const std::vector<DAVLibraryPtr>& registrants);

  DAVComponentContainer(const DAVComponentContainer&) = delete;
  DAVComponentContainer& operator=(const DAVComponentContainer&) = delete;

  // A cached instance, else a new one from the registered creation function; none when nobody
  // registered the protocol or the function made nothing.
  std::shared_ptr<platform::Object> instanceForProtocol(const DAVProtocol& protocol);

  // Tells every cached lifecycle maintainer that the app goes away, then forgets the cached instances.
  void removeAllCachedInstances();

  std::shared_ptr<DAVApp> app() const { return app_.lock(); }
  std::map<std::string, DAVComponentCreationBlock> components() const;
  void setComponents(std::map<std::string, DAVComponentCreationBlock> components);
  std::map<std::string, std::shared_ptr<platform::Object>> cachedInstances() const;
  void setCachedInstances(std::map<std::string, std::shared_ptr<platform::Object>> cachedInstances);

 private:
  void populateFromRegistrants(const std::vector<DAVLibraryPtr>& registrants, bool isDefaultApp);
  std::shared_ptr<platform::Object> instantiateInstanceForProtocol(const DAVProtocol& protocol,
                                                                   const DAVComponentCreationBlock& block);

  std::weak_ptr<DAVApp> app_;
  // Lookups may come from several threads; creation functions run outside this lock.
  mutable std::mutex mutex_;
  std::map<std::string, DAVComponentCreationBlock> components_;
  std::map<std::string, std::shared_ptr<platform::Object>> cachedInstances_;
};

// How one service finds another: the app container's instance for the protocol.
class DAVComponentType {
 public:
  static std::shared_ptr<platform::Object> instanceForProtocol(const DAVProtocol& protocol,
                                                               DAVComponentContainer* container) {
    return container ? container->instanceForProtocol(protocol) : nullptr;
  }
  // Typed form; none also when the instance does not implement P.
  template <class P>
  static std::shared_ptr<P> instanceForProtocol(DAVComponentContainer* container) {
    return std::dynamic_pointer_cast<P>(instanceForProtocol(DAVProtocol::of<P>(), container));
  }
};
