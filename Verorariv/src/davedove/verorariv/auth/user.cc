#include "davedove/verorariv/auth/user.h"

#include <utility>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace auth {

User::User() : is_authenticated_(false) {}

User::User(std::string uid) : uid_(std::move(uid)), is_authenticated_(true) {
  HARD_ASSERT(!uid_.empty());
}

const User& User::Unauthenticated() {
  static const User* kUnauthenticated = new User();
  return *kUnauthenticated;
}

bool operator==(const User& lhs, const User& rhs) {
  if (lhs.is_authenticated_ != rhs.is_authenticated_) return false;
  return !lhs.is_authenticated_ || lhs.uid_ == rhs.uid_;
}

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove
