#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/src/Service.h"
#include "backend/src/TokenSigner.h"

namespace backend {

// A user as the seed file gives it. The password is hashed on the way in and never kept as text.
struct SeedUser {
  std::string uid;  // "" : one is generated
  std::string email;
  std::string password;  // "" : no password credential
  std::string displayName{};
  std::string photoUrl{};
  bool disabled = false;
  bool emailVerified = false;
};

// A user as tests may inspect it (no password material).
struct UserInfo {
  std::string uid;
  std::string email;
  std::string displayName{};
  std::string photoUrl{};
  bool disabled = false;
  bool emailVerified = false;
  bool hasPassword = false;
  int64_t createdAtMs = 0;
  int64_t lastLoginAtMs = 0;
};

// An account at an outside identity provider, and the token by which the stand-in provider proves it.
struct FederatedIdentity {
  std::string providerId;  // e.g. "variru.com"
  std::string token;       // accepted as the provider's ID token or access token
  std::string federatedId;
  std::string email;
  std::string displayName{};
  std::string photoUrl{};
};

// An out-of-band mail the service would have sent.
struct OobMail {
  std::string requestType;  // "PASSWORD_RESET", "VERIFY_EMAIL", "EMAIL_SIGNIN", "RECOVER_EMAIL"
  std::string email;        // the recipient
  std::string oobCode;
  std::string newEmail{};   // RECOVER_EMAIL: the address the account was changed to
  std::string link{};       // the action link the mail carries
};

// The identity service (relying-party calls under "/identityservice/v3/relyingparty/<call>"), the
// secure-token service ("/v1/token") and its part of the admin interface ("POST
// /admin/v1/accounts/<uid>:disable" and ":enable", the uid percent-encoded, behind the server's
// admin guard). Thread-safe.
class IdentityService : public Service {
 public:
  // dataDir "" keeps everything in memory; otherwise users, refresh tokens, unused mailed codes and
  // the signing key persist there (files of mode 0600; tokens and codes only as hashes; one save of
  // several files is all or nothing), and every mail is written as an .eml file to its "mail"
  // folder (0700).
  IdentityService(std::string projectId, std::string dataDir);
  ~IdentityService() override;

  std::string name() const override { return "identity"; }
  void registerRoutes(httplib::Server& server) override;
  bool open(std::string* error) override;  // loads the data directory (or makes a signing key)

  // Seed: {"projectId": "...", "apiKeys": ["..."], "users": [{"uid", "email", "password",
  // "displayName", "photoUrl", "disabled", "emailVerified"}], "customTokenKey": "<base64 HMAC key>",
  // "federatedIdentities": [{"providerId", "token", "federatedId", "email", "displayName",
  // "photoUrl"}], "authorizedDomains": ["..."]}. Users whose e-mail is already known are skipped.
  // False (and error) on a malformed seed.
  bool applySeed(const nlohmann::json& seed, std::string* error) override;

  // API keys accepted in "?key="; none configured: any non-empty key.
  void setAPIKeys(std::vector<std::string> keys);
  // Lifetime of new ID tokens in seconds (default 3600); sent as "expiresIn" / "expires_in".
  void setIDTokenLifetime(int64_t seconds);

  // A change that cannot be saved in the data directory is taken back (as is a request's, which is
  // then answered with a server error).
  // Returns the uid, "" when it cannot be saved; an existing e-mail is replaced.
  std::string addUser(const SeedUser& user);
  std::optional<UserInfo> userByEmail(const std::string& email) const;
  std::optional<UserInfo> userByID(const std::string& uid) const;
  // A disabled account is refused by every call that names it; false when the uid is unknown or the
  // change cannot be saved.
  bool setUserDisabled(const std::string& uid, bool disabled);
  bool deleteUser(const std::string& uid);  // likewise; its refresh tokens go with it (then unknown)
  // Refresh tokens of the user stop working (exchange answers "TOKEN_EXPIRED"); so do ID tokens
  // issued before now.
  void revokeRefreshTokens(const std::string& uid);
  // One refresh token; false when unknown or not saved.
  bool revokeRefreshToken(const std::string& refreshToken);

  // An ID token for the user as a sign-in would give it (for tests of expired or foreign tokens:
  // issuedAt and lifetime are free). Empty when the uid is unknown.
  std::string mintIDToken(const std::string& uid, int64_t issuedAt, int64_t lifetimeSeconds);
  // Checks signature, expiry, revocation and the account; the claims, or nullopt with the server
  // keyword ("INVALID_ID_TOKEN", "TOKEN_EXPIRED", "USER_NOT_FOUND", "USER_DISABLED") in *keyword.
  std::optional<nlohmann::json> verifyIDToken(const std::string& idToken, std::string* keyword = nullptr) const;
  const TokenSigner& signer() const { return *signer_; }

  // Custom tokens: HMAC-SHA256 signed like ID tokens, payload {"uid", "exp", optional "aud" (must be
  // the project), optional "claims"}.
  void setCustomTokenKey(const std::string& key);
  void addFederatedIdentity(const FederatedIdentity& identity);
  // Provider ids linked to the user, in the order they were linked.
  std::vector<std::string> linkedProviders(const std::string& uid) const;

  // The mails of this run, oldest first, once keepSentMails(true) was called (tests); otherwise
  // none are held in memory, and the written files are the record.
  std::vector<OobMail> sentMails() const;
  void keepSentMails(bool keep);
  // Tests only: the clock (seconds since 1970) by which mailed codes are issued and expire.
  void setClockForTests(std::function<int64_t()> nowSeconds);
  // Where the mails are written: "<dataDir>/mail", or "" without a data directory.
  std::string mailDirectory() const;
  const std::string& projectId() const { return projectId_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string projectId_;
  std::unique_ptr<TokenSigner> signer_;
};

}  // namespace backend
