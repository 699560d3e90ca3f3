#include "davedove/verorariv/auth/davedove_credentials_provider.h"

#include <string>
#include <utility>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/string_util.h"
#include "platform/foundation/Value.h"
#include "sdk-core/DAVApp.h"

namespace davedove {
namespace verorariv {
namespace auth {

namespace {

using util::MakeString;
using util::Status;

// An empty uid names no one: it counts as signed out rather than stopping the process.
User UserFromUid(const std::optional<std::string>& uid) {
  if (!uid || uid->empty()) return User::Unauthenticated();
  return User(MakeString(*uid));
}

// The database's own codes pass through; anything else, and a code that is no failure in the
// database's domain (0 or out of range), is Unknown.
VerorarivErrorCode CodeOf(const platform::Error& error) {
  const int64_t code = error.code();
  if (error.domain() == util::kDAVVerorarivErrorDomain && code > 0 &&
      code <= static_cast<int64_t>(VerorarivErrorCode::Unauthenticated)) {
    return static_cast<VerorarivErrorCode>(code);
  }
  return VerorarivErrorCode::Unknown;
}

}  // namespace

DavedoveCredentialsProvider::DavedoveCredentialsProvider(std::shared_ptr<DAVApp> app,
                                                         std::shared_ptr<DAVAuthInterop> auth) {
  User user = auth ? UserFromUid(auth->getUserID()) : User::Unauthenticated();
  contents_ = std::make_shared<Contents>(std::move(app), std::move(auth), std::move(user));

  std::weak_ptr<Contents> weak_contents = contents_;
  auth_listener_handle_ = platform::NotificationCenter::defaultCenter().addObserver(
      kDAVAuthStateDidChangeInternalNotification, nullptr,
      [this, weak_contents](const platform::Notification& notification) {
        std::shared_ptr<Contents> contents = weak_contents.lock();
        if (!contents) return;
        OnAuthStateChanged(*contents, notification);
      });
}

void DavedoveCredentialsProvider::OnAuthStateChanged(Contents& contents,
                                                     const platform::Notification& notification) {
  std::lock_guard<std::mutex> lock(contents.mutex);
  // A post already under way may still call in after the provider is gone or stopped listening.
  if (!contents.provider_alive || !auth_listener_handle_) return;

  const auto app_entry = notification.userInfo.find(kDAVAuthStateDidChangeInternalNotificationAppKey);
  const platform::Object* notified_app =
      app_entry == notification.userInfo.end() ? nullptr : app_entry->second.asObject().get();
  // Another app's client, or one without an app.
  if (!notified_app || !contents.app || notified_app != static_cast<const platform::Object*>(contents.app.get())) {
    return;
  }

  std::optional<std::string> uid;
  const auto uid_entry = notification.userInfo.find(kDAVAuthStateDidChangeInternalNotificationUIDKey);
  if (uid_entry != notification.userInfo.end() && uid_entry->second.asString()) {
    uid = *uid_entry->second.asString();
  }
  contents.current_user = UserFromUid(uid);
  // Also on a token refresh of the same user: any fetch started before it is stale.
  ++contents.user_counter;

  if (change_listener_) change_listener_(contents.current_user);
}

DavedoveCredentialsProvider::~DavedoveCredentialsProvider() {
  {
    std::lock_guard<std::mutex> lock(contents_->mutex);
    contents_->provider_alive = false;
  }
  if (auth_listener_handle_) {
    platform::NotificationCenter::defaultCenter().removeObserver(*auth_listener_handle_);
    auth_listener_handle_.reset();
  }
  contents_.reset();
}

void DavedoveCredentialsProvider::GetToken(TokenListener completion) {
  HARD_ASSERT(auth_listener_handle_, "GetToken cannot be called after listener removed.");

  // Read under the lock: the notification callback changes it on the main thread.
  int32_t initial_user_counter;
  {
    std::lock_guard<std::mutex> lock(contents_->mutex);
    initial_user_counter = contents_->user_counter;
  }

  std::weak_ptr<Contents> weak_contents = contents_;
  DAVTokenCallback get_token_callback = [weak_contents, initial_user_counter, completion](
                                            std::optional<std::string> token, platform::ErrorPtr error) {
    std::shared_ptr<Contents> contents = weak_contents.lock();
    if (!contents) return;

    std::lock_guard<std::mutex> lock(contents->mutex);
    if (initial_user_counter != contents->user_counter) {
      // The user or token changed while this fetch ran: its token may belong to someone else.
      completion(Status(VerorarivErrorCode::Aborted, "getToken aborted due to token change."));
    } else if (error) {
      completion(Status(CodeOf(*error), MakeString(error->localizedDescription())));
    } else if (token) {
      completion(Token(MakeString(*token), contents->current_user));
    } else {
      completion(Token::Unauthenticated());
    }
  };

  if (contents_->auth) {
    contents_->auth->getTokenForcingRefresh(contents_->force_refresh, std::move(get_token_callback));
  } else {
    get_token_callback(std::nullopt, nullptr);
  }
  contents_->force_refresh = false;
}

void DavedoveCredentialsProvider::InvalidateToken() {
  contents_->force_refresh = true;
}

void DavedoveCredentialsProvider::SetCredentialChangeListener(CredentialChangeListener change_listener) {
  std::lock_guard<std::mutex> lock(contents_->mutex);
  if (change_listener) {
    HARD_ASSERT(!change_listener_, "set change_listener twice!");
    change_listener(contents_->current_user);
    change_listener_ = std::move(change_listener);
  } else {
    HARD_ASSERT(auth_listener_handle_, "removed change_listener twice!");
    HARD_ASSERT(change_listener_, "change_listener removed without being set!");
    platform::NotificationCenter::defaultCenter().removeObserver(*auth_listener_handle_);
    auth_listener_handle_.reset();
    change_listener_ = nullptr;
  }
}

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove
