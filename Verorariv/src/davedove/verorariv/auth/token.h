#ifndef DAVEDOVE_VERORARIV_AUTH_TOKEN_H_
#define DAVEDOVE_VERORARIV_AUTH_TOKEN_H_

#include <string>

#include "davedove/verorariv/auth/user.h"

namespace davedove {
namespace verorariv {
namespace auth {

// An ID token and the user it belongs to.
class Token {
 public:
  Token(std::string token, User user);

  // The empty token of the unauthenticated user, one per process.
  static const Token& Unauthenticated();

  const std::string& token() const { return token_; }
  const User& user() const { return user_; }

 private:
  std::string token_;
  User user_;
};

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_AUTH_TOKEN_H_
