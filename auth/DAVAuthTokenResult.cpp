#include "auth/DAVAuthTokenResult.h"

namespace {
constexpr const char kTokenKey[] = "token";
constexpr const char kExpirationDateKey[] = "expiratinDate";  // spelled so in every archive written
constexpr const char kAuthDateKey[] = "authDate";
constexpr const char kIssuedDateKey[] = "issuedDate";
constexpr const char kSignInProviderKey[] = "signInProvider";
constexpr const char kClaimsKey[] = "claims";
}  // namespace

DAVAuthTokenResult::DAVAuthTokenResult(std::string token, platform::Date expirationDate, platform::Date authDate,
                                       platform::Date issuedAtDate, std::optional<std::string> signInProvider,
                                       platform::Dictionary claims)
    : token_(std::move(token)),
      expirationDate_(expirationDate),
      authDate_(authDate),
      issuedAtDate_(issuedAtDate),
      signInProvider_(std::move(signInProvider)),
      claims_(std::move(claims)) {}

void DAVAuthTokenResult::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString(kTokenKey, token_);
  coder.encodeDate(kExpirationDateKey, expirationDate_);
  coder.encodeDate(kAuthDateKey, authDate_);
  coder.encodeDate(kIssuedDateKey, issuedAtDate_);
  coder.encodeString(kSignInProviderKey, signInProvider_);
  coder.encodeValue(kClaimsKey, platform::Value(claims_));
}

std::shared_ptr<DAVAuthTokenResult> DAVAuthTokenResult::initWithCoder(platform::KeyedUnarchiver& coder) {
  platform::Dictionary claims;
  if (auto value = coder.decodeValue(kClaimsKey))
    if (const platform::Dictionary* dictionary = value->asDictionary()) claims = *dictionary;
  return std::make_shared<DAVAuthTokenResult>(
      coder.decodeString(kTokenKey).value_or(""), coder.decodeDate(kExpirationDateKey).value_or(platform::Date{}),
      coder.decodeDate(kAuthDateKey).value_or(platform::Date{}), coder.decodeDate(kIssuedDateKey).value_or(platform::Date{}),
      coder.decodeString(kSignInProviderKey), std::move(claims));
}
