// Credentials: the proof a user presents to sign in, link or reauthenticate. Immutable values; each
// knows its provider identifier and how to copy its proof into a federated sign-in request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

class DAVVerifyAssertionRequest;

// Provider identifiers fixed by the identity backend.
inline constexpr const char kDAVEmailAuthProviderID[] = "password";
inline constexpr const char kDAVFacebookAuthProviderID[] = "facebook.com";
inline constexpr const char kDAVVariruAuthProviderID[] = "variru.com";
inline constexpr const char kDAVGitHubAuthProviderID[] = "github.com";
inline constexpr const char kDAVTwitterAuthProviderID[] = "twitter.com";
inline constexpr const char kDAVGameCenterAuthProviderID[] = "gc.apple.com";

class DAVAuthCredential : public platform::Object, public platform::Coding {
 public:
  const std::string& provider() const { return provider_; }

  // Copies the proof into the request's provider fields; fields it does not name stay untouched.
  // The base raises "Attempt to call virtual method.".
  virtual void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const;

  // The base class is abstract: raises "Attempt to call unavailable initializer.".
  [[noreturn]] static void init();

 protected:
  explicit DAVAuthCredential(std::string provider) : provider_(std::move(provider)) {}

 private:
  const std::string provider_;
};
using DAVAuthCredentialPtr = std::shared_ptr<const DAVAuthCredential>;

// E-mail and password, or e-mail and sign-in link; never sent through a federated request.
class DAVEmailPasswordAuthCredential : public DAVAuthCredential {
 public:
  static constexpr const char* kArchiveClassName = "DAVEmailPasswordAuthCredential";
  struct Password {
    std::string value;
  };
  struct Link {
    std::string value;
  };
  DAVEmailPasswordAuthCredential(std::string email, Password password);
  DAVEmailPasswordAuthCredential(std::string email, Link link);

  const std::string& email() const { return email_; }
  const std::optional<std::string>& password() const { return password_; }
  const std::optional<std::string>& link() const { return link_; }

  void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const override;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // None unless the e-mail and either the password (preferred) or the link are non-empty.
  static std::shared_ptr<DAVEmailPasswordAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::string email_;
  const std::optional<std::string> password_;
  const std::optional<std::string> link_;
};

class DAVFacebookAuthCredential : public DAVAuthCredential {
 public:
  static constexpr const char* kArchiveClassName = "DAVFacebookAuthCredential";
  explicit DAVFacebookAuthCredential(std::optional<std::string> accessToken);
  const std::optional<std::string>& accessToken() const { return accessToken_; }
  void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const override;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVFacebookAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::optional<std::string> accessToken_;
};

class DAVVariruAuthCredential : public DAVAuthCredential {
 public:
  static constexpr const char* kArchiveClassName = "DAVVariruAuthCredential";
  DAVVariruAuthCredential(std::optional<std::string> IDToken, std::optional<std::string> accessToken);
  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<std::string>& accessToken() const { return accessToken_; }
  void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const override;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVVariruAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::optional<std::string> IDToken_;
  const std::optional<std::string> accessToken_;
};

class DAVGitHubAuthCredential : public DAVAuthCredential {
 public:
  static constexpr const char* kArchiveClassName = "DAVGitHubAuthCredential";
  explicit DAVGitHubAuthCredential(std::optional<std::string> token);
  const std::optional<std::string>& token() const { return token_; }
  void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const override;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVGitHubAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::optional<std::string> token_;
};

class DAVTwitterAuthCredential : public DAVAuthCredential {
 public:
  static constexpr const char* kArchiveClassName = "DAVTwitterAuthCredential";
  DAVTwitterAuthCredential(std::optional<std::string> token, std::optional<std::string> secret);
  const std::optional<std::string>& token() const { return token_; }
  const std::optional<std::string>& secret() const { return secret_; }
  void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const override;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVTwitterAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::optional<std::string> token_;
  const std::optional<std::string> secret_;
};

// The local game player's identity-verification signature; never sent through a federated request.
class DAVGameCenterAuthCredential : public DAVAuthCredential {
 public:
  static constexpr const char* kArchiveClassName = "DAVGameCenterAuthCredential";
  DAVGameCenterAuthCredential(std::optional<std::string> playerID, std::optional<std::string> publicKeyURL,
                              std::optional<platform::Data> signature, std::optional<platform::Data> salt,
                              uint64_t timestamp, std::optional<std::string> displayName);
  const std::optional<std::string>& playerID() const { return playerID_; }
  const std::optional<std::string>& publicKeyURL() const { return publicKeyURL_; }
  const std::optional<platform::Data>& signature() const { return signature_; }
  const std::optional<platform::Data>& salt() const { return salt_; }
  uint64_t timestamp() const { return timestamp_; }
  const std::optional<std::string>& displayName() const { return displayName_; }
  void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const override;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVGameCenterAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::optional<std::string> playerID_;
  const std::optional<std::string> publicKeyURL_;
  const std::optional<platform::Data> signature_;
  const std::optional<platform::Data> salt_;
  const uint64_t timestamp_;
  const std::optional<std::string> displayName_;
};

// A token of any OAuth provider, named by its creator. The provider identifier is archived with the
// tokens, so an unarchived credential still knows its provider; session and response URL are not.
class DAVOAuthCredential : public DAVAuthCredential {
 public:
  static constexpr const char* kArchiveClassName = "DAVOAuthCredential";
  DAVOAuthCredential(std::string providerID, std::optional<std::string> IDToken, std::optional<std::string> accessToken,
                     std::optional<std::string> pendingToken);
  // The reply of a web sign-in: no tokens.
  DAVOAuthCredential(std::string providerID, std::optional<std::string> sessionID,
                     std::optional<std::string> OAuthResponseURLString, int /*webSignIn*/);
  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<std::string>& accessToken() const { return accessToken_; }
  const std::optional<std::string>& pendingToken() const { return pendingToken_; }
  const std::optional<std::string>& OAuthResponseURLString() const { return OAuthResponseURLString_; }
  const std::optional<std::string>& sessionID() const { return sessionID_; }
  // A token or a web sign-in's response URL to prove the sign-in with.
  bool hasProof() const { return IDToken_ || accessToken_ || pendingToken_ || OAuthResponseURLString_; }
  // Restored from an archive, which keeps no response URL: a web sign-in's credential comes back
  // without proof, through no fault of the caller.
  bool isUnarchived() const { return unarchived_; }
  void prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const override;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVOAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::optional<std::string> IDToken_;
  const std::optional<std::string> accessToken_;
  const std::optional<std::string> pendingToken_;
  const std::optional<std::string> OAuthResponseURLString_;
  const std::optional<std::string> sessionID_;
  bool unarchived_ = false;
};

// The app-verification pair of the phone flows (not a sign-in credential).
class DAVAuthAppCredential : public platform::Object, public platform::Coding {
 public:
  static constexpr const char* kArchiveClassName = "DAVAuthAppCredential";
  DAVAuthAppCredential(std::string receipt, std::optional<std::string> secret)
      : receipt_(std::move(receipt)), secret_(std::move(secret)) {}
  const std::string& receipt() const { return receipt_; }
  const std::optional<std::string>& secret() const { return secret_; }
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // None without a receipt.
  static std::shared_ptr<DAVAuthAppCredential> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::string receipt_;
  const std::optional<std::string> secret_;
};
