// The result of checking an action code: what it does and for which addresses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum DAVActionCodeOperation : int64_t {
  DAVActionCodeOperationUnknown = 0,
  DAVActionCodeOperationPasswordReset = 1,
  DAVActionCodeOperationVerifyEmail = 2,
  DAVActionCodeOperationRecoverEmail = 3,
  DAVActionCodeOperationEmailLink = 4,
};

enum DAVActionDataKey : int64_t {
  DAVActionCodeEmailKey = 0,
  DAVActionCodeFromEmailKey = 1,
};

class DAVActionCodeInfo {
 public:
  // With a new e-mail, email is the new one and fromEmail the old one.
  DAVActionCodeInfo(int64_t operation, std::optional<std::string> email, std::optional<std::string> newEmail)
      : operation_(operation) {
    if (newEmail) {
      email_ = std::move(newEmail);
      fromEmail_ = std::move(email);
    } else {
      email_ = std::move(email);
    }
  }

  // "PASSWORD_RESET" 1, "VERIFY_EMAIL" 2, "RECOVER_EMAIL" 3, "EMAIL_SIGNIN" 4, anything else 0.
  static int64_t actionCodeOperationForRequestType(const std::optional<std::string>& requestType) {
    if (requestType == "PASSWORD_RESET") return DAVActionCodeOperationPasswordReset;
    if (requestType == "VERIFY_EMAIL") return DAVActionCodeOperationVerifyEmail;
    if (requestType == "RECOVER_EMAIL") return DAVActionCodeOperationRecoverEmail;
    if (requestType == "EMAIL_SIGNIN") return DAVActionCodeOperationEmailLink;
    return DAVActionCodeOperationUnknown;
  }

  int64_t operation() const { return operation_; }
  // email for key 0, fromEmail for key 1, none otherwise.
  std::optional<std::string> dataForKey(int64_t key) const {
    if (key == DAVActionCodeEmailKey) return email_;
    if (key == DAVActionCodeFromEmailKey) return fromEmail_;
    return std::nullopt;
  }

 private:
  std::optional<std::string> email_;
  std::optional<std::string> fromEmail_;
  int64_t operation_;
};
