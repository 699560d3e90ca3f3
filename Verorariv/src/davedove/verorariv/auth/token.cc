#include "davedove/verorariv/auth/token.h"

#include <utility>

namespace davedove {
namespace verorariv {
namespace auth {

Token::Token(std::string token, User user) : token_(std::move(token)), user_(std::move(user)) {}

const Token& Token::Unauthenticated() {
  static const Token kUnauthenticated("", User::Unauthenticated());
  return kUnauthenticated;
}

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove
