// Provider classes: factories of credentials. All but DAVOAuthProvider are never instantiated; their
// init raises.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuthCredential.h"
#include "platform/foundation/Error.h"

class DAVAuth;

class DAVEmailAuthProvider {
 public:
  DAVEmailAuthProvider() = delete;
  [[noreturn]] static void init();  // "Attempt to call unavailable initializer."
  static std::shared_ptr<DAVEmailPasswordAuthCredential> credentialWithEmail(const std::string& email,
                                                                             const std::string& password);
  static std::shared_ptr<DAVEmailPasswordAuthCredential> credentialWithEmailLink(const std::string& email,
                                                                                 const std::string& link);
};

class DAVFacebookAuthProvider {
 public:
  DAVFacebookAuthProvider() = delete;
  [[noreturn]] static void init();  // the not-implemented exception
  static std::shared_ptr<DAVFacebookAuthCredential> credentialWithAccessToken(const std::string& accessToken);
};

class DAVVariruAuthProvider {
 public:
  DAVVariruAuthProvider() = delete;
  [[noreturn]] static void init();
  static std::shared_ptr<DAVVariruAuthCredential> credentialWithIDToken(const std::string& IDToken,
                                                                        const std::string& accessToken);
};

class DAVGitHubAuthProvider {
 public:
  DAVGitHubAuthProvider() = delete;
  [[noreturn]] static void init();
  static std::shared_ptr<DAVGitHubAuthCredential> credentialWithToken(const std::string& token);
};

class DAVTwitterAuthProvider {
 public:
  DAVTwitterAuthProvider() = delete;
  [[noreturn]] static void init();
  static std::shared_ptr<DAVTwitterAuthCredential> credentialWithToken(const std::string& token,
                                                                       const std::string& secret);
};

using DAVGameCenterCredentialCallback =
    std::function<void(std::shared_ptr<DAVGameCenterAuthCredential> credential, platform::ErrorPtr error)>;

class DAVGameCenterAuthProvider {
 public:
  DAVGameCenterAuthProvider() = delete;
  [[noreturn]] static void init();
  // This platform has no game framework: the completion (on the main queue) gets 17076.
  static void getCredentialWithCompletion(DAVGameCenterCredentialCallback completion);
};

using DAVOAuthURLCallback = std::function<void(std::optional<std::string> URL, platform::ErrorPtr error)>;

class DAVOAuthProvider {
 public:
  static std::shared_ptr<DAVOAuthCredential> credentialWithProviderID(const std::string& providerID,
                                                                      const std::optional<std::string>& IDToken,
                                                                      const std::optional<std::string>& accessToken,
                                                                      const std::optional<std::string>& pendingToken);
  static std::shared_ptr<DAVOAuthCredential> credentialWithProviderID(const std::string& providerID,
                                                                      const std::optional<std::string>& IDToken,
                                                                      const std::optional<std::string>& accessToken);
  static std::shared_ptr<DAVOAuthCredential> credentialWithProviderID(const std::string& providerID,
                                                                      const std::string& accessToken);

  // With the default app's client.
  static std::shared_ptr<DAVOAuthProvider> providerWithProviderID(const std::string& providerID);
  static std::shared_ptr<DAVOAuthProvider> providerWithProviderID(const std::string& providerID,
                                                                  std::shared_ptr<DAVAuth> auth);
  DAVOAuthProvider(std::string providerID, std::shared_ptr<DAVAuth> auth);

  const std::string& providerID() const { return providerID_; }
  const std::vector<std::string>& scopes() const { return scopes_; }
  void setScopes(std::vector<std::string> scopes) { scopes_ = std::move(scopes); }
  const std::map<std::string, std::string>& customParameters() const { return customParameters_; }
  void setCustomParameters(std::map<std::string, std::string> parameters) { customParameters_ = std::move(parameters); }
  // The app's client identifier with its dot-separated parts reversed.
  const std::string& callbackScheme() const { return callbackScheme_; }

  // The address of the hosted sign-in page for one attempt; the completion runs on the auth work
  // queue. Every key and value of the query is percent-escaped on its own.
  void getHeadFulLiteURLWithEventID(const std::string& eventID, const std::string& sessionID,
                                    DAVOAuthURLCallback completion) const;
  // The link inside the page's answer, or none with the error the answer names.
  static std::optional<std::string> OAuthResponseForURL(const std::string& URL, platform::ErrorPtr* error);

 private:
  std::shared_ptr<DAVAuth> auth_;
  std::string callbackScheme_;
  std::vector<std::string> scopes_;
  std::map<std::string, std::string> customParameters_;
  const std::string providerID_;
};
