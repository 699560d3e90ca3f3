// The application's login item, through the platform's service-management interface.
#pragma once

#include <string>

namespace vorellin {

class LoginServiceKit {
 public:
  // True only when the platform reports the item as enabled.
  static bool isLoginItemEnabled(const std::string& identifier);
  // False on failure, after one line on standard output.
  static bool addLoginItem(const std::string& identifier);
  static bool removeLoginItem(const std::string& identifier);
};

}  // namespace vorellin
