// A protocol that a component depends on. The container keeps dependencies but never consults them.
#pragma once

#include <memory>

#include "sdk-core/DAVProtocol.h"

class DAVDependency {
 public:
  static std::shared_ptr<DAVDependency> dependencyWithProtocol(DAVProtocol protocol) {
    return dependencyWithProtocol(std::move(protocol), true);
  }
  static std::shared_ptr<DAVDependency> dependencyWithProtocol(DAVProtocol protocol, bool isRequired) {
    return std::make_shared<DAVDependency>(std::move(protocol), isRequired);
  }

  DAVDependency(DAVProtocol protocol, bool isRequired) : isRequired_(isRequired), protocol_(std::move(protocol)) {}

  bool isRequired() const { return isRequired_; }
  const DAVProtocol& protocol() const { return protocol_; }

 private:
  bool isRequired_;
  DAVProtocol protocol_;
};
