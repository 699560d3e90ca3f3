#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Error.h"

namespace platform {

inline constexpr const char* kAppServiceErrorDomain = "SMAppServiceErrorDomain";

// Login items of the simulated Mac. The registry is <root>/SimulatedMac/login-items.json:
//   {"loginItems": {"<identifier>": {"registered": true, "requiresApproval": false,
//                                   "refusesRegistration": false}, ...}}
// An identifier is known to the platform when it has an entry or names an existing path (a bundle
// path, macOS paths resolved under the platform root); an unknown one is NotFound.
class AppService {
 public:
  enum class Status { NotRegistered, Enabled, RequiresApproval, NotFound };

  static std::shared_ptr<AppService> loginItemServiceWithIdentifier(const std::string& identifier);

  const std::string& identifier() const { return identifier_; }
  Status status() const;
  // Errors in kAppServiceErrorDomain: 1 refused, 2 not found (register); 3 not registered (unregister).
  bool registerAndReturnError(ErrorPtr* error);
  bool unregisterAndReturnError(ErrorPtr* error);

  static std::string registryPath();
  // For tests and the run command: registration of the identifier fails (refuses) or succeeds but
  // waits for the user's approval (requiresApproval). Both make the identifier known.
  static bool setRefusesRegistration(const std::string& identifier, bool refuses);
  static bool setRequiresApproval(const std::string& identifier, bool requiresApproval);

 private:
  explicit AppService(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier_;
};

const char* statusName(AppService::Status status);  // "NotRegistered", "Enabled", ...

}  // namespace platform
