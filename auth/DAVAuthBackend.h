// Every call of the authentication client to the identity service goes through DAVAuthBackend: a
// class-level facade over a replaceable implementation, whose default turns request objects into HTTP
// POSTs through the session fetcher and replies into filled responses or auth errors.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "auth/DAVAuthRPCRequest.h"
#include "auth/DAVAuthRPCResponse.h"
#include "platform/foundation/Error.h"
#include "platform/net/SessionFetcher.h"

class DAVCreateAuthURIRequest;
class DAVCreateAuthURIResponse;
class DAVGetAccountInfoRequest;
class DAVGetAccountInfoResponse;
class DAVGetProjectConfigRequest;
class DAVGetProjectConfigResponse;
class DAVSetAccountInfoRequest;
class DAVSetAccountInfoResponse;
class DAVVerifyPasswordRequest;
class DAVVerifyPasswordResponse;
class DAVEmailLinkSignInRequest;
class DAVEmailLinkSignInResponse;
class DAVSecureTokenRequest;
class DAVSecureTokenResponse;
class DAVGetOOBConfirmationCodeRequest;
class DAVGetOOBConfirmationCodeResponse;
class DAVSignUpNewUserRequest;
class DAVSignUpNewUserResponse;
class DAVDeleteAccountRequest;
class DAVResetPasswordRequest;
class DAVResetPasswordResponse;
class DAVVerifyAssertionRequest;
class DAVVerifyAssertionResponse;
class DAVVerifyCustomTokenRequest;
class DAVVerifyCustomTokenResponse;
class DAVSignInWithGameCenterRequest;
class DAVSignInWithGameCenterResponse;

// The client version sent in the user agent and in "X-Client-Version".
inline constexpr const char kDAVAuthClientVersion[] = "5.4.2";

// The first of the main bundle's preferred localizations, or none: sent as "Accept-Language" and taken by
// the auth client's useAppLanguage.
std::optional<std::string> DAVAuthPreferredLocalization();

// (filled response, none) on success, (none, error) otherwise.
template <class Response>
using DAVAuthBackendCallback = std::function<void(std::shared_ptr<Response> response, platform::ErrorPtr error)>;
using DAVAuthBackendErrorCallback = std::function<void(platform::ErrorPtr error)>;
using DAVAuthBackendRPCIssuerCompletion =
    std::function<void(std::optional<platform::Data> data, platform::ErrorPtr error)>;

class DAVAuthBackendRPCIssuer {
 public:
  virtual ~DAVAuthBackendRPCIssuer() = default;
  virtual void asyncPostToURLWithRequestConfiguration(const DAVAuthRequestConfigurationPtr& requestConfiguration,
                                                      const std::string& URL,
                                                      const std::optional<platform::Data>& body,
                                                      const std::string& contentType,
                                                      DAVAuthBackendRPCIssuerCompletion completionHandler) = 0;
};

class DAVAuthBackendImplementation {
 public:
  virtual ~DAVAuthBackendImplementation() = default;
  virtual void createAuthURI(std::shared_ptr<DAVCreateAuthURIRequest> request,
                             DAVAuthBackendCallback<DAVCreateAuthURIResponse> callback) = 0;
  virtual void getAccountInfo(std::shared_ptr<DAVGetAccountInfoRequest> request,
                              DAVAuthBackendCallback<DAVGetAccountInfoResponse> callback) = 0;
  virtual void getProjectConfig(std::shared_ptr<DAVGetProjectConfigRequest> request,
                                DAVAuthBackendCallback<DAVGetProjectConfigResponse> callback) = 0;
  virtual void setAccountInfo(std::shared_ptr<DAVSetAccountInfoRequest> request,
                              DAVAuthBackendCallback<DAVSetAccountInfoResponse> callback) = 0;
  virtual void verifyPassword(std::shared_ptr<DAVVerifyPasswordRequest> request,
                              DAVAuthBackendCallback<DAVVerifyPasswordResponse> callback) = 0;
  virtual void emailLinkSignin(std::shared_ptr<DAVEmailLinkSignInRequest> request,
                               DAVAuthBackendCallback<DAVEmailLinkSignInResponse> callback) = 0;
  virtual void secureToken(std::shared_ptr<DAVSecureTokenRequest> request,
                           DAVAuthBackendCallback<DAVSecureTokenResponse> callback) = 0;
  virtual void getOOBConfirmationCode(std::shared_ptr<DAVGetOOBConfirmationCodeRequest> request,
                                      DAVAuthBackendCallback<DAVGetOOBConfirmationCodeResponse> callback) = 0;
  virtual void signUpNewUser(std::shared_ptr<DAVSignUpNewUserRequest> request,
                             DAVAuthBackendCallback<DAVSignUpNewUserResponse> callback) = 0;
  virtual void deleteAccount(std::shared_ptr<DAVDeleteAccountRequest> request, DAVAuthBackendErrorCallback callback) = 0;
  virtual void resetPassword(std::shared_ptr<DAVResetPasswordRequest> request,
                             DAVAuthBackendCallback<DAVResetPasswordResponse> callback) = 0;
  virtual void verifyAssertion(std::shared_ptr<DAVVerifyAssertionRequest> request,
                               DAVAuthBackendCallback<DAVVerifyAssertionResponse> callback) = 0;
  virtual void verifyCustomToken(std::shared_ptr<DAVVerifyCustomTokenRequest> request,
                                 DAVAuthBackendCallback<DAVVerifyCustomTokenResponse> callback) = 0;
  virtual void signInWithGameCenter(std::shared_ptr<DAVSignInWithGameCenterRequest> request,
                                    DAVAuthBackendCallback<DAVSignInWithGameCenterResponse> callback) = 0;
};

// Performs the HTTP exchange through one session fetcher service whose completions run on the auth
// global work queue.
class DAVAuthBackendRPCIssuerImplementation : public DAVAuthBackendRPCIssuer {
 public:
  DAVAuthBackendRPCIssuerImplementation();
  void asyncPostToURLWithRequestConfiguration(const DAVAuthRequestConfigurationPtr& requestConfiguration,
                                              const std::string& URL, const std::optional<platform::Data>& body,
                                              const std::string& contentType,
                                              DAVAuthBackendRPCIssuerCompletion completionHandler) override;

 private:
  std::shared_ptr<platform::net::SessionFetcherService> fetcherService_;
};

class DAVAuthBackendRPCImplementation : public DAVAuthBackendImplementation {
 public:
  DAVAuthBackendRPCImplementation();

  std::shared_ptr<DAVAuthBackendRPCIssuer> RPCIssuer() const { return RPCIssuer_; }
  void setRPCIssuer(std::shared_ptr<DAVAuthBackendRPCIssuer> issuer) { RPCIssuer_ = std::move(issuer); }

  void createAuthURI(std::shared_ptr<DAVCreateAuthURIRequest> request,
                     DAVAuthBackendCallback<DAVCreateAuthURIResponse> callback) override;
  void getAccountInfo(std::shared_ptr<DAVGetAccountInfoRequest> request,
                      DAVAuthBackendCallback<DAVGetAccountInfoResponse> callback) override;
  void getProjectConfig(std::shared_ptr<DAVGetProjectConfigRequest> request,
                        DAVAuthBackendCallback<DAVGetProjectConfigResponse> callback) override;
  void setAccountInfo(std::shared_ptr<DAVSetAccountInfoRequest> request,
                      DAVAuthBackendCallback<DAVSetAccountInfoResponse> callback) override;
  void verifyPassword(std::shared_ptr<DAVVerifyPasswordRequest> request,
                      DAVAuthBackendCallback<DAVVerifyPasswordResponse> callback) override;
  void emailLinkSignin(std::shared_ptr<DAVEmailLinkSignInRequest> request,
                       DAVAuthBackendCallback<DAVEmailLinkSignInResponse> callback) override;
  void secureToken(std::shared_ptr<DAVSecureTokenRequest> request,
                   DAVAuthBackendCallback<DAVSecureTokenResponse> callback) override;
  void getOOBConfirmationCode(std::shared_ptr<DAVGetOOBConfirmationCodeRequest> request,
                              DAVAuthBackendCallback<DAVGetOOBConfirmationCodeResponse> callback) override;
  void signUpNewUser(std::shared_ptr<DAVSignUpNewUserRequest> request,
                     DAVAuthBackendCallback<DAVSignUpNewUserResponse> callback) override;
  void deleteAccount(std::shared_ptr<DAVDeleteAccountRequest> request, DAVAuthBackendErrorCallback callback) override;
  void resetPassword(std::shared_ptr<DAVResetPasswordRequest> request,
                     DAVAuthBackendCallback<DAVResetPasswordResponse> callback) override;
  void verifyAssertion(std::shared_ptr<DAVVerifyAssertionRequest> request,
                       DAVAuthBackendCallback<DAVVerifyAssertionResponse> callback) override;
  void verifyCustomToken(std::shared_ptr<DAVVerifyCustomTokenRequest> request,
                         DAVAuthBackendCallback<DAVVerifyCustomTokenResponse> callback) override;
  // A missing callback is allowed.
  void signInWithGameCenter(std::shared_ptr<DAVSignInWithGameCenterRequest> request,
                            DAVAuthBackendCallback<DAVSignInWithGameCenterResponse> callback) override;

  // The one transport routine: encodes the request, posts it, decodes the reply into response.
  // callback receives none on success or the error.
  void postWithRequest(std::shared_ptr<const DAVAuthRPCRequest> request, std::shared_ptr<DAVAuthRPCResponse> response,
                       DAVAuthBackendErrorCallback callback);

  // The server keyword table; null when the message maps to nothing.
  static platform::ErrorPtr clientErrorWithServerErrorMessage(const std::string& serverErrorMessage,
                                                              const nlohmann::json& errorDictionary,
                                                              const DAVAuthRPCResponse* response);

 private:
  template <class Request, class Response>
  void post(std::shared_ptr<Request> request, DAVAuthBackendCallback<Response> callback);

  std::shared_ptr<DAVAuthBackendRPCIssuer> RPCIssuer_;
};

class DAVAuthBackend {
 public:
  // "DavedoveAuth.iOS/<client version> <fetcher standard user agent>"
  static std::string authUserAgent();

  static std::shared_ptr<DAVAuthBackendImplementation> implementation();
  static void setBackendImplementation(std::shared_ptr<DAVAuthBackendImplementation> implementation);
  // A new default implementation with the given issuer (its own default issuer when null).
  static void setDefaultBackendImplementationWithRPCIssuer(std::shared_ptr<DAVAuthBackendRPCIssuer> issuer);

  static void createAuthURI(std::shared_ptr<DAVCreateAuthURIRequest> request,
                            DAVAuthBackendCallback<DAVCreateAuthURIResponse> callback);
  static void getAccountInfo(std::shared_ptr<DAVGetAccountInfoRequest> request,
                             DAVAuthBackendCallback<DAVGetAccountInfoResponse> callback);
  static void getProjectConfig(std::shared_ptr<DAVGetProjectConfigRequest> request,
                               DAVAuthBackendCallback<DAVGetProjectConfigResponse> callback);
  static void setAccountInfo(std::shared_ptr<DAVSetAccountInfoRequest> request,
                             DAVAuthBackendCallback<DAVSetAccountInfoResponse> callback);
  static void verifyPassword(std::shared_ptr<DAVVerifyPasswordRequest> request,
                             DAVAuthBackendCallback<DAVVerifyPasswordResponse> callback);
  static void emailLinkSignin(std::shared_ptr<DAVEmailLinkSignInRequest> request,
                              DAVAuthBackendCallback<DAVEmailLinkSignInResponse> callback);
  static void secureToken(std::shared_ptr<DAVSecureTokenRequest> request,
                          DAVAuthBackendCallback<DAVSecureTokenResponse> callback);
  static void getOOBConfirmationCode(std::shared_ptr<DAVGetOOBConfirmationCodeRequest> request,
                                     DAVAuthBackendCallback<DAVGetOOBConfirmationCodeResponse> callback);
  static void signUpNewUser(std::shared_ptr<DAVSignUpNewUserRequest> request,
                            DAVAuthBackendCallback<DAVSignUpNewUserResponse> callback);
  static void deleteAccount(std::shared_ptr<DAVDeleteAccountRequest> request, DAVAuthBackendErrorCallback callback);
  static void resetPassword(std::shared_ptr<DAVResetPasswordRequest> request,
                            DAVAuthBackendCallback<DAVResetPasswordResponse> callback);
  static void verifyAssertion(std::shared_ptr<DAVVerifyAssertionRequest> request,
                              DAVAuthBackendCallback<DAVVerifyAssertionResponse> callback);
  static void verifyCustomToken(std::shared_ptr<DAVVerifyCustomTokenRequest> request,
                                DAVAuthBackendCallback<DAVVerifyCustomTokenResponse> callback);
  static void signInWithGameCenter(std::shared_ptr<DAVSignInWithGameCenterRequest> request,
                                   DAVAuthBackendCallback<DAVSignInWithGameCenterResponse> callback);
};
