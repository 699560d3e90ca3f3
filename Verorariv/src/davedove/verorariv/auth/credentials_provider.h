#ifndef DAVEDOVE_VERORARIV_AUTH_CREDENTIALS_PROVIDER_H_
#define DAVEDOVE_VERORARIV_AUTH_CREDENTIALS_PROVIDER_H_

#include <functional>

#include "davedove/verorariv/auth/token.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/util/statusor.h"

namespace davedove {
namespace verorariv {
namespace auth {

// Receives a token, or the reason there is none.
using TokenListener = std::function<void(util::StatusOr<Token>)>;
// Receives the user after every change of user or token.
using CredentialChangeListener = std::function<void(User user)>;

// Supplies ID tokens for calls to the backend and reports who is signed in.
class CredentialsProvider {
 public:
  CredentialsProvider();
  virtual ~CredentialsProvider();

  // Fetches a token for the current user; the listener may run on another thread.
  virtual void GetToken(TokenListener completion) = 0;

  // Makes the next GetToken fetch a fresh token instead of a cached one.
  virtual void InvalidateToken() = 0;

  // Sets the listener (called at once with the current user), or removes it when empty.
  virtual void SetCredentialChangeListener(CredentialChangeListener change_listener) = 0;

 protected:
  CredentialChangeListener change_listener_;
};

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_AUTH_CREDENTIALS_PROVIDER_H_
