// A one-shot batch of profile changes (display name, photo URL), committed in one account update.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

class DAVUser;

class DAVUserProfileChangeRequest {
 public:
  // Made by DAVUser::profileChangeRequest.
  explicit DAVUserProfileChangeRequest(std::shared_ptr<DAVUser> user);

  std::optional<std::string> displayName() const;
  std::optional<std::string> photoURL() const;
  // Staging none is a change too: it removes the value. After a commit both raise the
  // internal-inconsistency exception.
  void setDisplayName(std::optional<std::string> displayName);
  void setPhotoURL(std::optional<std::string> photoURL);
  bool hasUpdates() const;

  // Only once; a second call raises. The completion runs on the main queue.
  void commitChangesWithCompletion(std::function<void(platform::ErrorPtr error)> completion);

 private:
  const std::shared_ptr<DAVUser> user_;
  mutable std::mutex mutex_;  // staging and committing one at a time, from any thread
  std::optional<std::string> displayName_;
  bool displayNameSet_ = false;
  std::optional<std::string> photoURL_;
  bool photoURLSet_ = false;
  bool consumed_ = false;
};
