// A small key-to-data store scoped by a service name, where the auth client keeps its signed-in user.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class DAVAuthStorage {
 public:
  virtual ~DAVAuthStorage() = default;

  // nullopt with no error: there is no item.
  virtual std::optional<platform::Data> dataForKey(const std::string& key, platform::ErrorPtr* error) = 0;
  virtual bool setData(const platform::Data& data, const std::string& key, platform::ErrorPtr* error) = 0;
  // True also when nothing was stored.
  virtual bool removeDataForKey(const std::string& key, platform::ErrorPtr* error) = 0;
};
