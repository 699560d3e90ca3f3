// "verifyPhoneNumber": sign-in, reauthentication, update or link with a texted code, in the phone
// flows of other platforms; nothing in this system sends it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"
#include "auth/DAVIdentityServiceRequest.h"

enum DAVAuthOperationType : int64_t {
  DAVAuthOperationTypeUnspecified = 0,
  DAVAuthOperationTypeSignUpOrSignIn = 1,
  DAVAuthOperationTypeReauth = 2,
  DAVAuthOperationTypeUpdate = 3,
  DAVAuthOperationTypeLink = 4,
};

class DAVVerifyPhoneNumberRequest : public DAVIdentityServiceRequest {
 public:
  DAVVerifyPhoneNumberRequest(std::string temporaryProof, std::string phoneNumber, int64_t operation,
                              DAVAuthRequestConfigurationPtr requestConfiguration);
  struct Code {
    std::string verificationID;
    std::string verificationCode;
  };
  DAVVerifyPhoneNumberRequest(Code code, int64_t operation, DAVAuthRequestConfigurationPtr requestConfiguration);

  // 1 "SIGN_UP_OR_IN", 2 "REAUTH", 3 "UPDATE", 4 "LINK", anything else "VERIFY_OP_UNSPECIFIED".
  static std::string operationString(int64_t operation);

  const std::optional<std::string>& verificationID() const { return verificationID_; }
  const std::optional<std::string>& verificationCode() const { return verificationCode_; }
  const std::optional<std::string>& accessToken() const { return accessToken_; }
  void setAccessToken(std::optional<std::string> v) { accessToken_ = std::move(v); }
  const std::optional<std::string>& temporaryProof() const { return temporaryProof_; }
  const std::optional<std::string>& phoneNumber() const { return phoneNumber_; }
  int64_t operation() const { return operation_; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::optional<std::string> verificationID_;
  std::optional<std::string> verificationCode_;
  std::optional<std::string> accessToken_;
  std::optional<std::string> temporaryProof_;
  std::optional<std::string> phoneNumber_;
  int64_t operation_;
};

class DAVVerifyPhoneNumberResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;
  bool isNewUser() const { return isNewUser_; }
  void setIsNewUser(bool v) { isNewUser_ = v; }
  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  const std::optional<std::string>& localID() const { return localID_; }
  const std::optional<std::string>& phoneNumber() const { return phoneNumber_; }
  const std::optional<std::string>& temporaryProof() const { return temporaryProof_; }
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }

 private:
  bool isNewUser_ = false;
  std::optional<std::string> IDToken_;
  std::optional<std::string> refreshToken_;
  std::optional<std::string> localID_;
  std::optional<std::string> phoneNumber_;
  std::optional<std::string> temporaryProof_;
  std::optional<platform::Date> approximateExpirationDate_;
};
