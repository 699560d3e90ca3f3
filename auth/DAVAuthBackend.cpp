#include "auth/DAVAuthBackend.h"

#include <cctype>
#include <mutex>

#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVCreateAuthURIRequest.h"
#include "auth/DAVCreateAuthURIResponse.h"
#include "auth/DAVDeleteAccountRequest.h"
#include "auth/DAVDeleteAccountResponse.h"
#include "auth/DAVEmailLinkSignInRequest.h"
#include "auth/DAVEmailLinkSignInResponse.h"
#include "auth/DAVGetAccountInfoRequest.h"
#include "auth/DAVGetAccountInfoResponse.h"
#include "auth/DAVGetOOBConfirmationCodeRequest.h"
#include "auth/DAVGetOOBConfirmationCodeResponse.h"
#include "auth/DAVGetProjectConfigRequest.h"
#include "auth/DAVGetProjectConfigResponse.h"
#include "auth/DAVResetPasswordRequest.h"
#include "auth/DAVResetPasswordResponse.h"
#include "auth/DAVSecureTokenRequest.h"
#include "auth/DAVSecureTokenResponse.h"
#include "auth/DAVSetAccountInfoRequest.h"
#include "auth/DAVSetAccountInfoResponse.h"
#include "auth/DAVSignUpNewUserRequest.h"
#include "auth/DAVSignUpNewUserResponse.h"
#include "auth/DAVVerifyPasswordRequest.h"
#include "auth/DAVVerifyPasswordResponse.h"
#include "auth/DAVAuthCredential.h"
#include "auth/DAVSignInWithGameCenterRequest.h"
#include "auth/DAVSignInWithGameCenterResponse.h"
#include "auth/DAVVerifyAssertionRequest.h"
#include "auth/DAVVerifyAssertionResponse.h"
#include "auth/DAVVerifyCustomTokenRequest.h"
#include "auth/DAVVerifyCustomTokenResponse.h"
#include "platform/foundation/Bundle.h"

using platform::ErrorPtr;
using Utils = DAVAuthErrorUtils;

namespace {

constexpr const char kJSONContentType[] = "application/json";
constexpr const char kMissingClientIdentifierMessage[] =
    "Missing app verification via reCAPTCHA or APNS token. Please verify that appVerificationDisabledForTesting "
    "is not enabled when testing with a phone number that is not marked as a test Phone number in the app "
    "console.";

std::string trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

ErrorPtr jsonParseError(const std::string& reason) {
  return platform::makeError("NSCocoaErrorDomain", 3840, reason);
}

std::mutex& implementationMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<DAVAuthBackendImplementation>& implementationStorage() {
  static auto* implementation = new std::shared_ptr<DAVAuthBackendImplementation>();  // lives for the process
  return *implementation;
}

}  // namespace

std::optional<std::string> DAVAuthPreferredLocalization() {
  auto bundle = platform::Bundle::main();
  if (!bundle) return std::nullopt;
  if (const platform::Value* list = bundle->objectForInfoDictionaryKey("CFBundleLocalizations"))
    if (const platform::Array* array = list->asArray())
      for (const platform::Value& entry : *array)
        if (const std::string* text = entry.asString(); text && !text->empty()) return *text;
  if (const platform::Value* region = bundle->objectForInfoDictionaryKey("CFBundleDevelopmentRegion"))
    if (const std::string* text = region->asString(); text && !text->empty()) return *text;
  return std::nullopt;
}

// ---- issuer ----

DAVAuthBackendRPCIssuerImplementation::DAVAuthBackendRPCIssuerImplementation()
    : fetcherService_(platform::net::SessionFetcherService::create()) {
  fetcherService_->setUserAgent(DAVAuthBackend::authUserAgent());
  fetcherService_->setCallbackQueue(DAVAuthGlobalWorkQueue());
  fetcherService_->setReuseSession(false);
}

void DAVAuthBackendRPCIssuerImplementation::asyncPostToURLWithRequestConfiguration(
    const DAVAuthRequestConfigurationPtr& requestConfiguration, const std::string& URL,
    const std::optional<platform::Data>& body, const std::string& contentType,
    DAVAuthBackendRPCIssuerCompletion completionHandler) {
  platform::net::URLRequest request(URL);
  request.method = "POST";
  request.setValue(contentType, "Content-Type");
  std::optional<std::string> marker;
  std::optional<std::string> languageCode;
  if (requestConfiguration) {
    marker = requestConfiguration->additionalFrameworkMarker();
    languageCode = requestConfiguration->languageCode();
  }
  request.setValue(std::string("iOS/DavedoveSDK/") + kDAVAuthClientVersion + "/" + marker.value_or("DavedoveCore-iOS"),
                   "X-Client-Version");
  auto bundle = platform::Bundle::main();
  // Absent, not empty, without a bundle identifier.
  if (bundle && !bundle->bundleIdentifier().empty())
    request.setValue(bundle->bundleIdentifier(), "X-Ios-Bundle-Identifier");
  if (auto localization = DAVAuthPreferredLocalization()) request.setValue(*localization, "Accept-Language");
  if (languageCode && !languageCode->empty()) request.setValue(*languageCode, "X-Davedove-Locale");

  platform::net::SessionFetcherPtr fetcher = fetcherService_->fetcherWithRequest(request);
  fetcher->setBodyData(body);
  fetcher->beginFetchWithCompletionHandler(
      [completionHandler = std::move(completionHandler)](std::optional<platform::Data> data, ErrorPtr error) {
        completionHandler(std::move(data), std::move(error));
      });
}

// ---- RPC implementation ----

DAVAuthBackendRPCImplementation::DAVAuthBackendRPCImplementation()
    : RPCIssuer_(std::make_shared<DAVAuthBackendRPCIssuerImplementation>()) {}

template <class Request, class Response>
void DAVAuthBackendRPCImplementation::post(std::shared_ptr<Request> request, DAVAuthBackendCallback<Response> callback) {
  auto response = std::make_shared<Response>();
  postWithRequest(request, response, [response, callback = std::move(callback)](ErrorPtr error) {
    if (!callback) return;
    if (error)
      callback(nullptr, std::move(error));
    else
      callback(response, nullptr);
  });
}

void DAVAuthBackendRPCImplementation::createAuthURI(std::shared_ptr<DAVCreateAuthURIRequest> request,
                                                    DAVAuthBackendCallback<DAVCreateAuthURIResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::getAccountInfo(std::shared_ptr<DAVGetAccountInfoRequest> request,
                                                     DAVAuthBackendCallback<DAVGetAccountInfoResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::getProjectConfig(std::shared_ptr<DAVGetProjectConfigRequest> request,
                                                       DAVAuthBackendCallback<DAVGetProjectConfigResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::setAccountInfo(std::shared_ptr<DAVSetAccountInfoRequest> request,
                                                     DAVAuthBackendCallback<DAVSetAccountInfoResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::verifyPassword(std::shared_ptr<DAVVerifyPasswordRequest> request,
                                                     DAVAuthBackendCallback<DAVVerifyPasswordResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::emailLinkSignin(std::shared_ptr<DAVEmailLinkSignInRequest> request,
                                                      DAVAuthBackendCallback<DAVEmailLinkSignInResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::secureToken(std::shared_ptr<DAVSecureTokenRequest> request,
                                                  DAVAuthBackendCallback<DAVSecureTokenResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::getOOBConfirmationCode(
    std::shared_ptr<DAVGetOOBConfirmationCodeRequest> request,
    DAVAuthBackendCallback<DAVGetOOBConfirmationCodeResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::signUpNewUser(std::shared_ptr<DAVSignUpNewUserRequest> request,
                                                    DAVAuthBackendCallback<DAVSignUpNewUserResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::deleteAccount(std::shared_ptr<DAVDeleteAccountRequest> request,
                                                    DAVAuthBackendErrorCallback callback) {
  auto response = std::make_shared<DAVDeleteAccountResponse>();
  postWithRequest(std::move(request), response, [callback = std::move(callback)](ErrorPtr error) {
    if (callback) callback(std::move(error));
  });
}
void DAVAuthBackendRPCImplementation::resetPassword(std::shared_ptr<DAVResetPasswordRequest> request,
                                                    DAVAuthBackendCallback<DAVResetPasswordResponse> callback) {
  post(std::move(request), std::move(callback));
}

void DAVAuthBackendRPCImplementation::verifyAssertion(std::shared_ptr<DAVVerifyAssertionRequest> request,
                                                      DAVAuthBackendCallback<DAVVerifyAssertionResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::verifyCustomToken(std::shared_ptr<DAVVerifyCustomTokenRequest> request,
                                                        DAVAuthBackendCallback<DAVVerifyCustomTokenResponse> callback) {
  post(std::move(request), std::move(callback));
}
void DAVAuthBackendRPCImplementation::signInWithGameCenter(
    std::shared_ptr<DAVSignInWithGameCenterRequest> request,
    DAVAuthBackendCallback<DAVSignInWithGameCenterResponse> callback) {
  post(std::move(request), std::move(callback));
}

void DAVAuthBackendRPCImplementation::postWithRequest(std::shared_ptr<const DAVAuthRPCRequest> request,
                                                      std::shared_ptr<DAVAuthRPCResponse> response,
                                                      DAVAuthBackendErrorCallback callback) {
  if (!callback) callback = [](ErrorPtr) {};
  std::optional<platform::Data> bodyData;
  if (request->containsPostBody()) {
    ErrorPtr encodingError;
    std::optional<nlohmann::json> body = request->unencodedHTTPRequestBodyWithError(&encodingError);
    if (!body) {
      callback(Utils::RPCRequestEncodingErrorWithUnderlyingError(encodingError));
      return;
    }
    if (!body->is_object()) {
      callback(Utils::JSONSerializationErrorForUnencodableType());
      return;
    }
    ErrorPtr serializationError;
    bodyData = dav_auth_json::serialize(*body, &serializationError);
    if (!bodyData) {
      callback(Utils::JSONSerializationErrorWithUnderlyingError(serializationError));
      return;
    }
  }

  auto issuer = RPCIssuer_;
  issuer->asyncPostToURLWithRequestConfiguration(
      request->requestConfiguration(), request->requestURL(), bodyData, kJSONContentType,
      [request, response, callback = std::move(callback)](std::optional<platform::Data> data, ErrorPtr fetchError) {
        if (!data && fetchError) {
          callback(Utils::networkErrorWithUnderlyingError(fetchError));
          return;
        }
        nlohmann::json reply;
        ErrorPtr parseError;
        try {
          reply = dav_auth_json::parse(data.value_or(std::string()));
          // Like the platform's JSON reader, only an object or an array is a reply.
          if (!reply.is_object() && !reply.is_array()) parseError = jsonParseError("JSON text did not start with array or object.");
        } catch (const nlohmann::json::exception& e) {
          parseError = jsonParseError(e.what());
        }
        if (parseError) {
          if (fetchError)
            callback(Utils::unexpectedErrorResponseWithData(data, fetchError));
          else
            callback(Utils::unexpectedResponseWithData(data, parseError));
          return;
        }
        if (!reply.is_object()) {
          const platform::Value parsed = dav_auth_json::toValue(reply);
          if (fetchError)
            callback(Utils::unexpectedErrorResponseWithDeserializedResponse(parsed));
          else
            callback(Utils::unexpectedResponseWithDeserializedResponse(parsed));
          return;
        }
        if (fetchError) {
          auto errorIt = reply.find("error");
          if (errorIt != reply.end() && errorIt->is_object()) {
            const nlohmann::json& errorDictionary = *errorIt;
            auto messageIt = errorDictionary.find("message");
            if (messageIt != errorDictionary.end() && messageIt->is_string()) {
              if (ErrorPtr clientError = DAVAuthBackendRPCImplementation::clientErrorWithServerErrorMessage(
                      messageIt->get<std::string>(), errorDictionary, response.get())) {
                callback(clientError);
                return;
              }
            }
            if (messageIt != errorDictionary.end()) {
              callback(Utils::unexpectedErrorResponseWithDeserializedResponse(dav_auth_json::toValue(errorDictionary)));
              return;
            }
          }
          callback(Utils::unexpectedErrorResponseWithDeserializedResponse(dav_auth_json::toValue(reply)));
          return;
        }
        ErrorPtr decodingError;
        if (!response->setWithDictionary(reply, &decodingError)) {
          callback(Utils::RPCResponseDecodingErrorWithDeserializedResponse(dav_auth_json::toValue(reply), decodingError));
          return;
        }
        // A federated sign-in that asked for the provider's credential may be refused in a 200 reply.
        if (auto assertion = std::dynamic_pointer_cast<const DAVVerifyAssertionRequest>(request);
            assertion && assertion->returnIDPCredential()) {
          if (std::optional<std::string> message = dav_auth_json::stringForKey(reply, "errorMessage")) {
            if (ErrorPtr clientError = DAVAuthBackendRPCImplementation::clientErrorWithServerErrorMessage(
                    *message, nlohmann::json::object(), response.get())) {
              callback(clientError);
              return;
            }
          }
        }
        callback(nullptr);
      });
}

ErrorPtr DAVAuthBackendRPCImplementation::clientErrorWithServerErrorMessage(const std::string& serverErrorMessage,
                                                                            const nlohmann::json& errorDictionary,
                                                                            const DAVAuthRPCResponse* response) {
  std::string shortMessage = serverErrorMessage;
  std::string detail;
  size_t colon = serverErrorMessage.find(':');
  if (colon != std::string::npos) {
    shortMessage = trim(serverErrorMessage.substr(0, colon));
    detail = trim(serverErrorMessage.substr(colon + 1));
  }

  if (response)
    if (ErrorPtr own = response->clientErrorWithShortErrorMessage(shortMessage, detail)) return own;

  const std::string& s = shortMessage;
  if (s == "USER_NOT_FOUND" || s == "EMAIL_NOT_FOUND" || s == "INVALID_LOCAL_ID")
    return Utils::userNotFoundErrorWithMessage(detail);
  if (s == "TOKEN_EXPIRED") return Utils::userTokenExpiredErrorWithMessage(detail);
  if (s == "TOO_MANY_ATTEMPTS_TRY_LATER") return Utils::tooManyRequestsErrorWithMessage(detail);
  if (s == "INVALID_CUSTOM_TOKEN") return Utils::invalidCustomTokenErrorWithMessage(detail);
  if (s == "CREDENTIAL_MISMATCH") return Utils::customTokenMistmatchErrorWithMessage(detail);
  if (s == "INVALID_IDP_RESPONSE" || s == "INVALID_PENDING_TOKEN") return Utils::invalidCredentialErrorWithMessage(detail);
  if (s == "USER_DISABLED") return Utils::userDisabledErrorWithMessage(detail);
  if (s == "OPERATION_NOT_ALLOWED" || s == "PASSWORD_LOGIN_DISABLED")
    return Utils::operationNotAllowedErrorWithMessage(detail);
  if (s == "EMAIL_EXISTS") return Utils::emailAlreadyInUseErrorWithEmail();
  if (s == "INVALID_EMAIL" || s == "INVALID_IDENTIFIER") return Utils::invalidEmailErrorWithMessage(detail);
  if (s == "INVALID_PASSWORD") return Utils::wrongPasswordErrorWithMessage(detail);
  if (s == "CREDENTIAL_TOO_OLD_LOGIN_AGAIN") return Utils::requiresRecentLoginErrorWithMessage(detail);
  if (s == "INVALID_ID_TOKEN") return Utils::invalidUserTokenErrorWithMessage(detail);
  if (s == "FEDERATED_USER_ID_ALREADY_LINKED") {
    // Only a federated sign-in reply carries the provider's tokens and the e-mail.
    std::shared_ptr<const platform::Object> credential;
    std::string email;
    if (const auto* assertion = dynamic_cast<const DAVVerifyAssertionResponse*>(response)) {
      const bool hasIDToken = assertion->oauthIDToken() && !assertion->oauthIDToken()->empty();
      const bool hasAccessToken = assertion->oauthAccessToken() && !assertion->oauthAccessToken()->empty();
      if (hasIDToken || hasAccessToken) {
        credential = std::make_shared<DAVOAuthCredential>(assertion->providerID().value_or(""), assertion->oauthIDToken(),
                                                          assertion->oauthAccessToken(), assertion->pendingToken());
      }
      email = assertion->email().value_or("");
    }
    return Utils::credentialAlreadyInUseErrorWithMessage(detail, credential, email);
  }
  if (s == "WEAK_PASSWORD") return Utils::weakPasswordErrorWithServerResponseReason(detail);
  if (s == "EXPIRED_OOB_CODE") return Utils::expiredActionCodeErrorWithMessage(detail);
  if (s == "INVALID_OOB_CODE") return Utils::invalidActionCodeErrorWithMessage(detail);
  if (s == "MISSING_EMAIL") return Utils::missingEmailErrorWithMessage(detail);
  if (s == "INVALID_SENDER") return Utils::invalidSenderErrorWithMessage(detail);
  if (s == "INVALID_MESSAGE_PAYLOAD") return Utils::invalidMessagePayloadErrorWithMessage(detail);
  if (s == "INVALID_RECIPIENT_EMAIL") return Utils::invalidRecipientEmailErrorWithMessage(detail);
  if (s == "MISSING_IOS_BUNDLE_ID") return Utils::missingIosBundleIDErrorWithMessage(detail);
  if (s == "MISSING_ANDROID_PACKAGE_NAME") return Utils::missingAndroidPackageNameErrorWithMessage(detail);
  if (s == "UNAUTHORIZED_DOMAIN") return Utils::unauthorizedDomainErrorWithMessage(detail);
  if (s == "INVALID_CONTINUE_URI") return Utils::invalidContinueURIErrorWithMessage(detail);
  if (s == "INVALID_PROVIDER_ID") return Utils::invalidProviderIDErrorWithMessage(detail);
  if (s == "INVALID_DYNAMIC_LINK_DOMAIN") return Utils::invalidDynamicLinkDomainErrorWithMessage(detail);
  if (s == "MISSING_CONTINUE_URI") return Utils::missingContinueURIErrorWithMessage(detail);
  if (s == "INVALID_PHONE_NUMBER") return Utils::invalidPhoneNumberErrorWithMessage(detail);
  if (s == "INVALID_SESSION_INFO") return Utils::invalidVerificationIDErrorWithMessage(detail);
  if (s == "INVALID_CODE") return Utils::invalidVerificationCodeErrorWithMessage(detail);
  if (s == "SESSION_EXPIRED") return Utils::sessionExpiredErrorWithMessage(detail);
  if (s == "MISSING_IOS_APP_TOKEN") return Utils::missingAppTokenErrorWithUnderlyingError(nullptr);
  if (s == "MISSING_APP_CREDENTIAL") return Utils::missingAppCredentialWithMessage(detail);
  if (s == "INVALID_APP_CREDENTIAL") return Utils::invalidAppCredentialWithMessage(detail);
  if (s == "QUOTA_EXCEEDED") return Utils::quotaExceededErrorWithMessage(serverErrorMessage);
  if (s == "APP_NOT_VERIFIED") return Utils::appNotVerifiedErrorWithMessage(serverErrorMessage);
  if (s == "MISSING_CLIENT_IDENTIFIER") return Utils::appNotVerifiedErrorWithMessage(kMissingClientIdentifierMessage);
  if (s == "CAPTCHA_CHECK_FAILED") return Utils::captchaCheckFailedErrorWithMessage(serverErrorMessage);

  auto errorsIt = errorDictionary.find("errors");
  if (errorDictionary.is_object() && errorsIt != errorDictionary.end() && errorsIt->is_array()) {
    for (const nlohmann::json& element : *errorsIt) {
      std::optional<std::string> reason = dav_auth_json::stringForKey(element, "reason");
      if (!reason) continue;
      if (reason->rfind("keyInvalid", 0) == 0) return Utils::invalidAPIKeyError();
      if (*reason == "ipRefererBlocked") return Utils::appNotAuthorizedError();
    }
  }
  return nullptr;
}

// ---- facade ----

std::string DAVAuthBackend::authUserAgent() {
  return std::string("DavedoveAuth.iOS/") + kDAVAuthClientVersion + " " +
         platform::net::fetcherStandardUserAgentString(nullptr);
}

std::shared_ptr<DAVAuthBackendImplementation> DAVAuthBackend::implementation() {
  std::lock_guard<std::mutex> lock(implementationMutex());
  auto& implementation = implementationStorage();
  if (!implementation) implementation = std::make_shared<DAVAuthBackendRPCImplementation>();
  return implementation;
}

void DAVAuthBackend::setBackendImplementation(std::shared_ptr<DAVAuthBackendImplementation> implementation) {
  std::lock_guard<std::mutex> lock(implementationMutex());
  implementationStorage() = std::move(implementation);
}

void DAVAuthBackend::setDefaultBackendImplementationWithRPCIssuer(std::shared_ptr<DAVAuthBackendRPCIssuer> issuer) {
  auto implementation = std::make_shared<DAVAuthBackendRPCImplementation>();
  if (issuer) implementation->setRPCIssuer(std::move(issuer));
  setBackendImplementation(std::move(implementation));
}

void DAVAuthBackend::createAuthURI(std::shared_ptr<DAVCreateAuthURIRequest> request,
                                   DAVAuthBackendCallback<DAVCreateAuthURIResponse> callback) {
  implementation()->createAuthURI(std::move(request), std::move(callback));
}
void DAVAuthBackend::getAccountInfo(std::shared_ptr<DAVGetAccountInfoRequest> request,
                                    DAVAuthBackendCallback<DAVGetAccountInfoResponse> callback) {
  implementation()->getAccountInfo(std::move(request), std::move(callback));
}
void DAVAuthBackend::getProjectConfig(std::shared_ptr<DAVGetProjectConfigRequest> request,
                                      DAVAuthBackendCallback<DAVGetProjectConfigResponse> callback) {
  implementation()->getProjectConfig(std::move(request), std::move(callback));
}
void DAVAuthBackend::setAccountInfo(std::shared_ptr<DAVSetAccountInfoRequest> request,
                                    DAVAuthBackendCallback<DAVSetAccountInfoResponse> callback) {
  implementation()->setAccountInfo(std::move(request), std::move(callback));
}
void DAVAuthBackend::verifyPassword(std::shared_ptr<DAVVerifyPasswordRequest> request,
                                    DAVAuthBackendCallback<DAVVerifyPasswordResponse> callback) {
  implementation()->verifyPassword(std::move(request), std::move(callback));
}
void DAVAuthBackend::emailLinkSignin(std::shared_ptr<DAVEmailLinkSignInRequest> request,
                                     DAVAuthBackendCallback<DAVEmailLinkSignInResponse> callback) {
  implementation()->emailLinkSignin(std::move(request), std::move(callback));
}
void DAVAuthBackend::secureToken(std::shared_ptr<DAVSecureTokenRequest> request,
                                 DAVAuthBackendCallback<DAVSecureTokenResponse> callback) {
  implementation()->secureToken(std::move(request), std::move(callback));
}
void DAVAuthBackend::getOOBConfirmationCode(std::shared_ptr<DAVGetOOBConfirmationCodeRequest> request,
                                            DAVAuthBackendCallback<DAVGetOOBConfirmationCodeResponse> callback) {
  implementation()->getOOBConfirmationCode(std::move(request), std::move(callback));
}
void DAVAuthBackend::signUpNewUser(std::shared_ptr<DAVSignUpNewUserRequest> request,
                                   DAVAuthBackendCallback<DAVSignUpNewUserResponse> callback) {
  implementation()->signUpNewUser(std::move(request), std::move(callback));
}
void DAVAuthBackend::deleteAccount(std::shared_ptr<DAVDeleteAccountRequest> request,
                                   DAVAuthBackendErrorCallback callback) {
  implementation()->deleteAccount(std::move(request), std::move(callback));
}
void DAVAuthBackend::resetPassword(std::shared_ptr<DAVResetPasswordRequest> request,
                                   DAVAuthBackendCallback<DAVResetPasswordResponse> callback) {
  implementation()->resetPassword(std::move(request), std::move(callback));
}
void DAVAuthBackend::verifyAssertion(std::shared_ptr<DAVVerifyAssertionRequest> request,
                                     DAVAuthBackendCallback<DAVVerifyAssertionResponse> callback) {
  implementation()->verifyAssertion(std::move(request), std::move(callback));
}
void DAVAuthBackend::verifyCustomToken(std::shared_ptr<DAVVerifyCustomTokenRequest> request,
                                       DAVAuthBackendCallback<DAVVerifyCustomTokenResponse> callback) {
  implementation()->verifyCustomToken(std::move(request), std::move(callback));
}
void DAVAuthBackend::signInWithGameCenter(std::shared_ptr<DAVSignInWithGameCenterRequest> request,
                                          DAVAuthBackendCallback<DAVSignInWithGameCenterResponse> callback) {
  implementation()->signInWithGameCenter(std::move(request), std::move(callback));
}
