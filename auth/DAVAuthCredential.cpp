#include "auth/DAVAuthCredential.h"

#include "auth/DAVAuthExceptionUtils.h"
#include "auth/DAVVerifyAssertionRequest.h"
#include "platform/foundation/Exception.h"

namespace {

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

// --- Base --------------------------------------------------------------------------------------------

void DAVAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest&) const {
  platform::raise("Attempt to call virtual method.", "This method must be overridden by a subclass.");
}

void DAVAuthCredential::init() {
  platform::raise("Attempt to call unavailable initializer.",
                  "This class is an abstract base class. It's init method should not be called directly.");
}

// --- E-mail ------------------------------------------------------------------------------------------

DAVEmailPasswordAuthCredential::DAVEmailPasswordAuthCredential(std::string email, Password password)
    : DAVAuthCredential(kDAVEmailAuthProviderID), email_(std::move(email)), password_(std::move(password.value)) {}

DAVEmailPasswordAuthCredential::DAVEmailPasswordAuthCredential(std::string email, Link link)
    : DAVAuthCredential(kDAVEmailAuthProviderID), email_(std::move(email)), link_(std::move(link.value)) {}

void DAVEmailPasswordAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest&) const {
  DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(
      "Attempt to call prepareVerifyAssertionRequest: on a DAVEmailPasswordAuthCredential.");
}

void DAVEmailPasswordAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("email", email_);
  coder.encodeString("password", password_);
  coder.encodeString("link", link_);
}

std::shared_ptr<DAVEmailPasswordAuthCredential> DAVEmailPasswordAuthCredential::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto email = coder.decodeString("email");
  auto password = coder.decodeString("password");
  auto link = coder.decodeString("link");
  if (!nonEmpty(email)) return nullptr;
  if (nonEmpty(password)) return std::make_shared<DAVEmailPasswordAuthCredential>(*email, Password{*password});
  if (nonEmpty(link)) return std::make_shared<DAVEmailPasswordAuthCredential>(*email, Link{*link});
  return nullptr;
}

// --- Facebook ----------------------------------------------------------------------------------------

DAVFacebookAuthCredential::DAVFacebookAuthCredential(std::optional<std::string> accessToken)
    : DAVAuthCredential(kDAVFacebookAuthProviderID), accessToken_(std::move(accessToken)) {}

void DAVFacebookAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const {
  request.setProviderAccessToken(accessToken_);
}

void DAVFacebookAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("accessToken", accessToken_);
}

std::shared_ptr<DAVFacebookAuthCredential> DAVFacebookAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
  return std::make_shared<DAVFacebookAuthCredential>(coder.decodeString("accessToken"));
}

// --- Variru ------------------------------------------------------------------------------------------

DAVVariruAuthCredential::DAVVariruAuthCredential(std::optional<std::string> IDToken,
                                                 std::optional<std::string> accessToken)
    : DAVAuthCredential(kDAVVariruAuthProviderID), IDToken_(std::move(IDToken)), accessToken_(std::move(accessToken)) {}

void DAVVariruAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const {
  request.setProviderIDToken(IDToken_);
  request.setProviderAccessToken(accessToken_);
}

void DAVVariruAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("IDToken", IDToken_);
  coder.encodeString("accessToken", accessToken_);
}

std::shared_ptr<DAVVariruAuthCredential> DAVVariruAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
  return std::make_shared<DAVVariruAuthCredential>(coder.decodeString("IDToken"), coder.decodeString("accessToken"));
}

// --- GitHub ------------------------------------------------------------------------------------------

DAVGitHubAuthCredential::DAVGitHubAuthCredential(std::optional<std::string> token)
    : DAVAuthCredential(kDAVGitHubAuthProviderID), token_(std::move(token)) {}

void DAVGitHubAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const {
  request.setProviderAccessToken(token_);
}

void DAVGitHubAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("token", token_);
}

std::shared_ptr<DAVGitHubAuthCredential> DAVGitHubAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
  return std::make_shared<DAVGitHubAuthCredential>(coder.decodeString("token"));
}

// --- Twitter -----------------------------------------------------------------------------------------

DAVTwitterAuthCredential::DAVTwitterAuthCredential(std::optional<std::string> token, std::optional<std::string> secret)
    : DAVAuthCredential(kDAVTwitterAuthProviderID), token_(std::move(token)), secret_(std::move(secret)) {}

void DAVTwitterAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const {
  request.setProviderAccessToken(token_);
  request.setProviderOAuthTokenSecret(secret_);
}

void DAVTwitterAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("token", token_);
  coder.encodeString("secret", secret_);
}

std::shared_ptr<DAVTwitterAuthCredential> DAVTwitterAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
  return std::make_shared<DAVTwitterAuthCredential>(coder.decodeString("token"), coder.decodeString("secret"));
}

// --- Game Center -------------------------------------------------------------------------------------

DAVGameCenterAuthCredential::DAVGameCenterAuthCredential(std::optional<std::string> playerID,
                                                         std::optional<std::string> publicKeyURL,
                                                         std::optional<platform::Data> signature,
                                                         std::optional<platform::Data> salt, uint64_t timestamp,
                                                         std::optional<std::string> displayName)
    : DAVAuthCredential(kDAVGameCenterAuthProviderID),
      playerID_(std::move(playerID)),
      publicKeyURL_(std::move(publicKeyURL)),
      signature_(std::move(signature)),
      salt_(std::move(salt)),
      timestamp_(timestamp),
      displayName_(std::move(displayName)) {}

void DAVGameCenterAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest&) const {
  DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(
      "Attempt to call prepareVerifyAssertionRequest: on a DAVGameCenterAuthCredential.");
}

void DAVGameCenterAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("playerID", playerID_);
  coder.encodeString("publicKeyURL", publicKeyURL_);
  coder.encodeData("signature", signature_);
  coder.encodeData("salt", salt_);
  coder.encodeInteger("timestamp", static_cast<int64_t>(timestamp_));
  coder.encodeString("displayName", displayName_);
}

std::shared_ptr<DAVGameCenterAuthCredential> DAVGameCenterAuthCredential::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  return std::make_shared<DAVGameCenterAuthCredential>(
      coder.decodeString("playerID"), coder.decodeString("publicKeyURL"), coder.decodeData("signature"),
      coder.decodeData("salt"), static_cast<uint64_t>(coder.decodeInteger("timestamp")),
      coder.decodeString("displayName"));
}

// --- OAuth -------------------------------------------------------------------------------------------

DAVOAuthCredential::DAVOAuthCredential(std::string providerID, std::optional<std::string> IDToken,
                                       std::optional<std::string> accessToken, std::optional<std::string> pendingToken)
    : DAVAuthCredential(std::move(providerID)),
      IDToken_(std::move(IDToken)),
      accessToken_(std::move(accessToken)),
      pendingToken_(std::move(pendingToken)) {}

DAVOAuthCredential::DAVOAuthCredential(std::string providerID, std::optional<std::string> sessionID,
                                       std::optional<std::string> OAuthResponseURLString, int)
    : DAVAuthCredential(std::move(providerID)),
      OAuthResponseURLString_(std::move(OAuthResponseURLString)),
      sessionID_(std::move(sessionID)) {}

void DAVOAuthCredential::prepareVerifyAssertionRequest(DAVVerifyAssertionRequest& request) const {
  request.setProviderIDToken(IDToken_);
  request.setProviderAccessToken(accessToken_);
}

void DAVOAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("provider", provider());
  coder.encodeString("IDToken", IDToken_);
  coder.encodeString("accessToken", accessToken_);
  coder.encodeString("pendingToken", pendingToken_);
}

std::shared_ptr<DAVOAuthCredential> DAVOAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto credential = std::make_shared<DAVOAuthCredential>(coder.decodeString("provider").value_or(""),
                                                         coder.decodeString("IDToken"), coder.decodeString("accessToken"),
                                                         coder.decodeString("pendingToken"));
  credential->unarchived_ = true;
  return credential;
}

// --- App credential ----------------------------------------------------------------------------------

void DAVAuthAppCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("receipt", receipt_);
  coder.encodeString("secret", secret_);
}

std::shared_ptr<DAVAuthAppCredential> DAVAuthAppCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto receipt = coder.decodeString("receipt");
  if (!receipt) return nullptr;
  return std::make_shared<DAVAuthAppCredential>(*receipt, coder.decodeString("secret"));
}
