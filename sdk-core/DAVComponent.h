// A component pairs a protocol with the function that makes instances of it for one app's container.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/foundation/Value.h"
#include "sdk-core/DAVDependency.h"
#include "sdk-core/DAVProtocol.h"

class DAVComponentContainer;

enum DAVInstantiationTiming : int64_t {
  DAVInstantiationTimingLazy = 0,
  DAVInstantiationTimingAlwaysEager = 1,
  DAVInstantiationTimingEagerInDefaultApp = 2,
};

// Makes an instance (or none) for the container; sets *isCacheable to true when the container may keep it.
using DAVComponentCreationBlock =
    std::function<std::shared_ptr<platform::Object>(DAVComponentContainer* container, bool* isCacheable)>;

class DAVComponent {
 public:
  // A lazy component without dependencies.
  static std::shared_ptr<DAVComponent> componentWithProtocol(DAVProtocol protocol,
                                                             DAVComponentCreationBlock creationBlock);
  static std::shared_ptr<DAVComponent> componentWithProtocol(
      DAVProtocol protocol, DAVInstantiationTiming instantiationTiming,
      std::vector<std::shared_ptr<DAVDependency>> dependencies, DAVComponentCreationBlock creationBlock);

  DAVComponent(DAVProtocol protocol, DAVInstantiationTiming instantiationTiming,
               std::vector<std::shared_ptr<DAVDependency>> dependencies, DAVComponentCreationBlock creationBlock);

  const DAVProtocol& protocol() const { return protocol_; }
  DAVInstantiationTiming instantiationTiming() const { return instantiationTiming_; }
  const std::vector<std::shared_ptr<DAVDependency>>& dependencies() const { return dependencies_; }
  const DAVComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  const DAVProtocol protocol_;
  const DAVInstantiationTiming instantiationTiming_;
  const std::vector<std::shared_ptr<DAVDependency>> dependencies_;
  const DAVComponentCreationBlock creationBlock_;
};

using DAVComponentPtr = std::shared_ptr<DAVComponent>;
