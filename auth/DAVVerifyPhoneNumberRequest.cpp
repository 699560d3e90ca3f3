#include "auth/DAVVerifyPhoneNumberRequest.h"

#include "auth/DAVAuthJSON.h"

DAVVerifyPhoneNumberRequest::DAVVerifyPhoneNumberRequest(std::string temporaryProof, std::string phoneNumber,
                                                         int64_t operation,
                                                         DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("verifyPhoneNumber", std::move(requestConfiguration)),
      temporaryProof_(std::move(temporaryProof)),
      phoneNumber_(std::move(phoneNumber)),
      operation_(operation) {}

DAVVerifyPhoneNumberRequest::DAVVerifyPhoneNumberRequest(Code code, int64_t operation,
                                                         DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("verifyPhoneNumber", std::move(requestConfiguration)),
      verificationID_(std::move(code.verificationID)),
      verificationCode_(std::move(code.verificationCode)),
      operation_(operation) {}

std::string DAVVerifyPhoneNumberRequest::operationString(int64_t operation) {
  switch (operation) {
    case DAVAuthOperationTypeSignUpOrSignIn:
      return "SIGN_UP_OR_IN";
    case DAVAuthOperationTypeReauth:
      return "REAUTH";
    case DAVAuthOperationTypeUpdate:
      return "UPDATE";
    case DAVAuthOperationTypeLink:
      return "LINK";
    default:
      return "VERIFY_OP_UNSPECIFIED";
  }
}

std::optional<nlohmann::json> DAVVerifyPhoneNumberRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  if (verificationID_) body["sessionInfo"] = *verificationID_;
  if (verificationCode_) body["code"] = *verificationCode_;
  if (accessToken_) body["idToken"] = *accessToken_;
  if (temporaryProof_) body["temporaryProof"] = *temporaryProof_;
  if (phoneNumber_) body["phoneNumber"] = *phoneNumber_;
  body["operation"] = operationString(operation_);
  return body;
}

bool DAVVerifyPhoneNumberResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  IDToken_ = stringForKey(dictionary, "idToken");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  isNewUser_ = boolForKey(dictionary, "isNewUser");
  localID_ = stringForKey(dictionary, "localId");
  phoneNumber_ = stringForKey(dictionary, "phoneNumber");
  temporaryProof_ = stringForKey(dictionary, "temporaryProof");
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expiresIn");
  return true;
}
