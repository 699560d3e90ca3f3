// A parsed ID token: the token text, its dates, the sign-in provider and all its claims.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

class DAVAuthTokenResult : public platform::Coding {
 public:
  static constexpr const char* kArchiveClassName = "DAVAuthTokenResult";

  DAVAuthTokenResult(std::string token, platform::Date expirationDate, platform::Date authDate,
                     platform::Date issuedAtDate, std::optional<std::string> signInProvider, platform::Dictionary claims);

  const std::string& token() const { return token_; }
  const platform::Date& expirationDate() const { return expirationDate_; }
  const platform::Date& authDate() const { return authDate_; }
  const platform::Date& issuedAtDate() const { return issuedAtDate_; }
  const std::optional<std::string>& signInProvider() const { return signInProvider_; }
  const platform::Dictionary& claims() const { return claims_; }

  // Keys "token", "expiratinDate", "authDate", "issuedDate", "signInProvider", "claims".
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVAuthTokenResult> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  std::string token_;
  platform::Date expirationDate_;
  platform::Date authDate_;
  platform::Date issuedAtDate_;
  std::optional<std::string> signInProvider_;
  platform::Dictionary claims_;
};
