#ifndef DAVEDOVE_VERORARIV_AUTH_DAVEDOVE_CREDENTIALS_PROVIDER_H_
#define DAVEDOVE_VERORARIV_AUTH_DAVEDOVE_CREDENTIALS_PROVIDER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "auth/DAVAuthInterop.h"
#include "davedove/verorariv/auth/credentials_provider.h"
#include "platform/foundation/NotificationCenter.h"

class DAVApp;

namespace davedove {
namespace verorariv {
namespace auth {

// Credentials from the app's authentication client: follows its state notification to know the
// current user, and discards a token fetch that a user or token change has overtaken.
//
// GetToken and InvalidateToken are called from the database's queue; the notification and the
// token callbacks arrive on the main thread. Both listeners run under the provider's lock and
// must not call back into it.
class DavedoveCredentialsProvider : public CredentialsProvider {
 public:
  // `auth` may be null when the application has no authentication client.
  DavedoveCredentialsProvider(std::shared_ptr<DAVApp> app, std::shared_ptr<DAVAuthInterop> auth);
  ~DavedoveCredentialsProvider() override;

  DavedoveCredentialsProvider(const DavedoveCredentialsProvider&) = delete;
  DavedoveCredentialsProvider& operator=(const DavedoveCredentialsProvider&) = delete;

  void GetToken(TokenListener completion) override;
  void InvalidateToken() override;
  void SetCredentialChangeListener(CredentialChangeListener change_listener) override;

 private:
  // Shared with the notification callback and pending fetches, which hold it weakly.
  struct Contents {
    Contents(std::shared_ptr<DAVApp> app, std::shared_ptr<DAVAuthInterop> auth, User user)
        : app(std::move(app)), auth(std::move(auth)), current_user(std::move(user)) {}

    const std::shared_ptr<DAVApp> app;
    const std::shared_ptr<DAVAuthInterop> auth;
    User current_user;
    int32_t user_counter = 0;
    // Guards current_user, user_counter, provider_alive and the calls of the listeners.
    std::mutex mutex;
    bool force_refresh = false;
    // Cleared by the destructor, so that a notification already in flight on another thread
    // never reaches the provider's listener once the provider is gone.
    bool provider_alive = true;
  };

  void OnAuthStateChanged(Contents& contents, const platform::Notification& notification);

  std::optional<platform::ObserverToken> auth_listener_handle_;
  std::shared_ptr<Contents> contents_;
};

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_AUTH_DAVEDOVE_CREDENTIALS_PROVIDER_H_
