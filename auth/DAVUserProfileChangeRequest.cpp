#include "auth/DAVUserProfileChangeRequest.h"

#include "auth/DAVGetAccountInfoResponse.h"
#include "auth/DAVSetAccountInfoRequest.h"
#include "auth/DAVUser.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Exception.h"

DAVUserProfileChangeRequest::DAVUserProfileChangeRequest(std::shared_ptr<DAVUser> user) : user_(std::move(user)) {}

std::optional<std::string> DAVUserProfileChangeRequest::displayName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return displayName_;
}

std::optional<std::string> DAVUserProfileChangeRequest::photoURL() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return photoURL_;
}

void DAVUserProfileChangeRequest::setDisplayName(std::optional<std::string> displayName) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (consumed_)
    platform::raise(platform::kInternalInconsistencyException,
                    "Invalid call to setDisplayName: after commitChangesWithCallback:.");
  displayNameSet_ = true;
  displayName_ = std::move(displayName);
}

void DAVUserProfileChangeRequest::setPhotoURL(std::optional<std::string> photoURL) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (consumed_)
    platform::raise(platform::kInternalInconsistencyException,
                    "Invalid call to setPhotoURL: after commitChangesWithCallback:.");
  photoURLSet_ = true;
  photoURL_ = std::move(photoURL);
}

bool DAVUserProfileChangeRequest::hasUpdates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return displayNameSet_ || photoURLSet_;
}

void DAVUserProfileChangeRequest::commitChangesWithCompletion(std::function<void(platform::ErrorPtr)> completion) {
  std::optional<std::string> displayName, photoURL;
  bool displayNameSet, photoURLSet;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (consumed_)
      platform::raise(platform::kInternalInconsistencyException, "commitChangesWithCallback: should only be called once.");
    consumed_ = true;
    displayName = displayName_;
    photoURL = photoURL_;
    displayNameSet = displayNameSet_;
    photoURLSet = photoURLSet_;
  }
  auto deliver = [completion](platform::ErrorPtr error) {
    if (completion) platform::dispatch::Queue::main()->async([completion, error] { completion(error); });
  };
  if (!displayNameSet && !photoURLSet) return deliver(nullptr);
  auto user = user_;
  user->executeUserUpdateWithChanges(
      [=](std::shared_ptr<const DAVGetAccountInfoResponseUser>, DAVSetAccountInfoRequest& request) {
        // A value staged as none is removed on the server too, so that both sides agree.
        std::vector<std::string> deleted;
        if (photoURLSet) {
          request.setPhotoURL(photoURL);
          if (!photoURL) deleted.push_back(kDAVSetAccountInfoUserAttributePhotoURL);
        }
        if (displayNameSet) {
          request.setDisplayName(displayName);
          if (!displayName) deleted.push_back(kDAVSetAccountInfoUserAttributeDisplayName);
        }
        if (!deleted.empty()) request.setDeleteAttributes(deleted);
      },
      [=](platform::ErrorPtr error) {
        if (error) return deliver(error);
        if (displayNameSet) user->setDisplayName(displayName);
        if (photoURLSet) user->setPhotoURL(photoURL);
        platform::ErrorPtr saveError;
        user->updateKeychain(&saveError);
        deliver(saveError);
      });
}
