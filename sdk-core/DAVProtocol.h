// A protocol that component instances conform to: a name (the key of the container's dictionaries)
// plus the check whether an instance conforms.
#pragma once

#include <functional>
#include <string>

#include "platform/foundation/Value.h"

class DAVProtocol {
 public:
  // P is an interface class that names itself: static constexpr const char kDAVProtocolName[] = "...".
  template <class P>
  static DAVProtocol of() {
    return DAVProtocol(P::kDAVProtocolName,
                       [](const platform::Object& instance) { return dynamic_cast<const P*>(&instance) != nullptr; });
  }

  DAVProtocol(std::string name, std::function<bool(const platform::Object&)> conformance)
      : name_(std::move(name)), conformance_(std::move(conformance)) {}

  const std::string& name() const { return name_; }
  bool isConformedBy(const platform::Object& instance) const { return conformance_ && conformance_(instance); }

 private:
  std::string name_;
  std::function<bool(const platform::Object&)> conformance_;
};
