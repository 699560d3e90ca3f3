// What the signed-in user and each sign-in provider linked to its account both answer.
#pragma once

#include <optional>
#include <string>

class DAVUserInfo {
 public:
  virtual ~DAVUserInfo() = default;

  virtual std::optional<std::string> providerID() const = 0;
  // The account's id at that provider.
  virtual std::optional<std::string> uid() const = 0;
  virtual std::optional<std::string> displayName() const = 0;
  virtual std::optional<std::string> photoURL() const = 0;
  virtual std::optional<std::string> email() const = 0;
  virtual std::optional<std::string> phoneNumber() const = 0;
};
