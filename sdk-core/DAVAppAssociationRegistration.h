// Attaches lazily made objects to a host object, one per key, for as long as the host lives.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class DAVAppAssociationRegistration {
 public:
  // The object registered on the host under the key; made by creationBlock on first request (no result:
  // nothing is kept). Asking for the same host and key from inside creationBlock raises.
  static std::shared_ptr<platform::Object> registeredObjectWithHost(
      const std::shared_ptr<const platform::Object>& host, const std::string& key,
      const std::function<std::shared_ptr<platform::Object>()>& creationBlock);
};
