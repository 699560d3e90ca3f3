#include "sdk-core/DAVComponent.h"

std::shared_ptr<DAVComponent> DAVComponent::componentWithProtocol(DAVProtocol protocol,
                                                                  DAVComponentCreationBlock creationBlock) {
  return componentWithProtocol(std::move(protocol), DAVInstantiationTimingLazy, {}, std::move(creationBlock));
}

std::shared_ptr<DAVComponent> DAVComponent::componentWithProtocol(
    DAVProtocol protocol, DAVInstantiationTiming instantiationTiming,
    std::vector<std::shared_ptr<DAVDependency>> dependencies, DAVComponentCreationBlock creationBlock) {
  return std::make_shared<DAVComponent>(std::move(protocol), instantiationTiming, std::move(dependencies),
                                        std::move(creationBlock));
}

DAVComponent::DAVComponent(DAVProtocol protocol, DAVInstantiationTiming instantiationTiming,
                           std::vector<std::shared_ptr<DAVDependency>> dependencies,
                           DAVComponentCreationBlock creationBlock)
    : protocol_(std::move(protocol)),
      instantiationTiming_(instantiationTiming),
      dependencies_(std::move(dependencies)),
      creationBlock_(std::move(creationBlock)) {}
