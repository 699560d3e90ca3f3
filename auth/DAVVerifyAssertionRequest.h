// "verifyAssertion": sign-in, link or reauthentication with a token of an outside identity provider.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "auth/DAVIdentityServiceRequest.h"

// Sent as "requestUri" when the request names none.
inline constexpr const char kDAVVerifyAssertionDefaultRequestURI[] = "http://localhost";
// Why a request without any proof cannot be sent.
inline constexpr const char kDAVVerifyAssertionNoProofReason[] =
    "One of IDToken, accessToken, pendingToken, or requestURI must be supplied.";

class DAVAuthCredential;

class DAVVerifyAssertionRequest : public DAVIdentityServiceRequest {
 public:
  using OptString = std::optional<std::string>;

  // returnSecureToken, autoCreate and returnIDPCredential start true.
  DAVVerifyAssertionRequest(std::string providerID, DAVAuthRequestConfigurationPtr requestConfiguration);
  // Filled by the credential, and for an OAuth credential also with its response URL, session and
  // pending token.
  static std::shared_ptr<DAVVerifyAssertionRequest> requestWithCredential(
      const DAVAuthCredential& credential, DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::string& providerID() const { return providerID_; }
  const OptString& requestURI() const { return requestURI_; }
  void setRequestURI(OptString v) { requestURI_ = std::move(v); }
  const OptString& pendingToken() const { return pendingToken_; }
  void setPendingToken(OptString v) { pendingToken_ = std::move(v); }
  // The signed-in user's ID token, when linking.
  const OptString& accessToken() const { return accessToken_; }
  void setAccessToken(OptString v) { accessToken_ = std::move(v); }
  bool returnSecureToken() const { return returnSecureToken_; }
  void setReturnSecureToken(bool v) { returnSecureToken_ = v; }
  const OptString& providerAccessToken() const { return providerAccessToken_; }
  void setProviderAccessToken(OptString v) { providerAccessToken_ = std::move(v); }
  const OptString& providerIDToken() const { return providerIDToken_; }
  void setProviderIDToken(OptString v) { providerIDToken_ = std::move(v); }
  bool returnIDPCredential() const { return returnIDPCredential_; }
  void setReturnIDPCredential(bool v) { returnIDPCredential_ = v; }
  const OptString& sessionID() const { return sessionID_; }
  void setSessionID(OptString v) { sessionID_ = std::move(v); }
  const OptString& providerOAuthTokenSecret() const { return providerOAuthTokenSecret_; }
  void setProviderOAuthTokenSecret(OptString v) { providerOAuthTokenSecret_ = std::move(v); }
  const OptString& inputEmail() const { return inputEmail_; }
  void setInputEmail(OptString v) { inputEmail_ = std::move(v); }
  bool autoCreate() const { return autoCreate_; }
  void setAutoCreate(bool v) { autoCreate_ = v; }

  // A provider token, a pending token or a request URI: without one the body cannot be made.
  bool hasProof() const { return providerIDToken_ || providerAccessToken_ || pendingToken_ || requestURI_; }

  // Raises the invalid-argument exception without proof: callers check hasProof() first, since the
  // body is made on the work queue, where nothing could catch it.
  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  OptString requestURI_;
  OptString pendingToken_;
  OptString accessToken_;
  bool returnSecureToken_ = true;
  std::string providerID_;
  OptString providerAccessToken_;
  OptString providerIDToken_;
  bool returnIDPCredential_ = true;
  OptString sessionID_;
  OptString providerOAuthTokenSecret_;
  OptString inputEmail_;
  bool autoCreate_ = true;
};
