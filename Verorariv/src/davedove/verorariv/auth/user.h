#ifndef DAVEDOVE_VERORARIV_AUTH_USER_H_
#define DAVEDOVE_VERORARIV_AUTH_USER_H_

#include <string>

namespace davedove {
namespace verorariv {
namespace auth {

// Who writes and reads: an authenticated user with a uid, or the unauthenticated user.
class User {
 public:
  // The unauthenticated user.
  User();
  // An authenticated user; the uid must not be empty.
  explicit User(std::string uid);

  // One process-wide unauthenticated user.
  static const User& Unauthenticated();

  const std::string& uid() const { return uid_; }
  bool is_authenticated() const { return is_authenticated_; }

  friend bool operator==(const User& lhs, const User& rhs);
  friend bool operator!=(const User& lhs, const User& rhs) { return !(lhs == rhs); }

 private:
  std::string uid_;
  bool is_authenticated_;
};

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_AUTH_USER_H_
