#include "auth/DAVOAuthProvider.h"

#include <openssl/evp.h>

#include <cstdio>

#include "auth/DAVAuth.h"
#include "auth/DAVAuthBackend.h"
#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVAuthExceptionUtils.h"
#include "auth/DAVAuthRPCRequest.h"
#include "auth/DAVAuthWebUtils.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "sdk-core/DAVOptions.h"

namespace {

constexpr const char kNotMeantToBeInitialized[] = "This class is not meant to be initialized.";

std::string sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  std::string out;
  char hex[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    out += hex;
  }
  return out;
}

std::string reversedDotParts(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::string out;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (it != parts.rbegin()) out += '.';
    out += *it;
  }
  return out;
}

std::string queryOf(const std::string& URL) {
  size_t question = URL.find('?');
  if (question == std::string::npos) return {};
  std::string query = URL.substr(question + 1);
  return query.substr(0, query.find('#'));
}

}  // namespace

void DAVEmailAuthProvider::init() { platform::raise("Attempt to call unavailable initializer.", kNotMeantToBeInitialized); }
void DAVFacebookAuthProvider::init() { DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(kNotMeantToBeInitialized); }
void DAVVariruAuthProvider::init() { DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(kNotMeantToBeInitialized); }
void DAVGitHubAuthProvider::init() { DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(kNotMeantToBeInitialized); }
void DAVTwitterAuthProvider::init() { DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(kNotMeantToBeInitialized); }
void DAVGameCenterAuthProvider::init() { DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(kNotMeantToBeInitialized); }

std::shared_ptr<DAVEmailPasswordAuthCredential> DAVEmailAuthProvider::credentialWithEmail(const std::string& email,
                                                                                          const std::string& password) {
  return std::make_shared<DAVEmailPasswordAuthCredential>(email, DAVEmailPasswordAuthCredential::Password{password});
}

std::shared_ptr<DAVEmailPasswordAuthCredential> DAVEmailAuthProvider::credentialWithEmailLink(const std::string& email,
                                                                                              const std::string& link) {
  return std::make_shared<DAVEmailPasswordAuthCredential>(email, DAVEmailPasswordAuthCredential::Link{link});
}

std::shared_ptr<DAVFacebookAuthCredential> DAVFacebookAuthProvider::credentialWithAccessToken(
    const std::string& accessToken) {
  return std::make_shared<DAVFacebookAuthCredential>(accessToken);
}

std::shared_ptr<DAVVariruAuthCredential> DAVVariruAuthProvider::credentialWithIDToken(const std::string& IDToken,
                                                                                     const std::string& accessToken) {
  return std::make_shared<DAVVariruAuthCredential>(IDToken, accessToken);
}

std::shared_ptr<DAVGitHubAuthCredential> DAVGitHubAuthProvider::credentialWithToken(const std::string& token) {
  return std::make_shared<DAVGitHubAuthCredential>(token);
}

std::shared_ptr<DAVTwitterAuthCredential> DAVTwitterAuthProvider::credentialWithToken(const std::string& token,
                                                                                    const std::string& secret) {
  return std::make_shared<DAVTwitterAuthCredential>(token, secret);
}

void DAVGameCenterAuthProvider::getCredentialWithCompletion(DAVGameCenterCredentialCallback completion) {
  if (!completion) return;
  platform::dispatch::Queue::main()->async(
      [completion] { completion(nullptr, DAVAuthErrorUtils::gameKitNotLinkedError()); });
}

// --- OAuth -------------------------------------------------------------------------------------------

std::shared_ptr<DAVOAuthCredential> DAVOAuthProvider::credentialWithProviderID(
    const std::string& providerID, const std::optional<std::string>& IDToken,
    const std::optional<std::string>& accessToken, const std::optional<std::string>& pendingToken) {
  return std::make_shared<DAVOAuthCredential>(providerID, IDToken, accessToken, pendingToken);
}

std::shared_ptr<DAVOAuthCredential> DAVOAuthProvider::credentialWithProviderID(
    const std::string& providerID, const std::optional<std::string>& IDToken,
    const std::optional<std::string>& accessToken) {
  return credentialWithProviderID(providerID, IDToken, accessToken, std::nullopt);
}

std::shared_ptr<DAVOAuthCredential> DAVOAuthProvider::credentialWithProviderID(const std::string& providerID,
                                                                               const std::string& accessToken) {
  return credentialWithProviderID(providerID, std::nullopt, accessToken, std::nullopt);
}

std::shared_ptr<DAVOAuthProvider> DAVOAuthProvider::providerWithProviderID(const std::string& providerID) {
  return providerWithProviderID(providerID, DAVAuth::auth());
}

std::shared_ptr<DAVOAuthProvider> DAVOAuthProvider::providerWithProviderID(const std::string& providerID,
                                                                           std::shared_ptr<DAVAuth> auth) {
  return std::make_shared<DAVOAuthProvider>(providerID, std::move(auth));
}

DAVOAuthProvider::DAVOAuthProvider(std::string providerID, std::shared_ptr<DAVAuth> auth)
    : auth_(std::move(auth)), providerID_(std::move(providerID)) {
  auto app = auth_ ? auth_->app() : nullptr;
  std::optional<std::string> clientID = app ? app->options()->clientID() : std::nullopt;
  callbackScheme_ = reversedDotParts(clientID.value_or(""));
}

void DAVOAuthProvider::getHeadFulLiteURLWithEventID(const std::string& eventID, const std::string& sessionID,
                                                    DAVOAuthURLCallback completion) const {
  if (!auth_) {
    if (completion) completion(std::nullopt, DAVAuthErrorUtils::nullUserErrorWithMessage());
    return;
  }
  auto configuration = auth_->requestConfiguration();
  auto app = auth_->app();
  std::optional<std::string> clientID = app ? app->options()->clientID() : std::nullopt;
  const std::string providerID = providerID_;
  const auto scopes = scopes_;
  const auto customParameters = customParameters_;
  DAVAuthWebUtils::fetchAuthDomainWithRequestConfiguration(
      configuration, [=](std::optional<std::string> authDomain, platform::ErrorPtr error) {
        if (error || !authDomain) {
          if (completion) completion(std::nullopt, error);
          return;
        }
        auto bundle = platform::Bundle::main();
        std::vector<std::pair<std::string, std::string>> arguments = {
            {"apiKey", configuration->APIKey()},
            {"authType", "signInWithRedirect"},
            {"ibi", bundle ? bundle->bundleIdentifier() : std::string()},
            {"clientId", clientID.value_or("")},
            {"sessionId", sha256Hex(sessionID)},
            {"v", DAVAuthBackend::authUserAgent()},
            {"eventId", eventID},
            {"providerId", providerID}};
        if (!scopes.empty()) {
          std::string joined;
          for (const auto& scope : scopes) joined += (joined.empty() ? "" : ",") + scope;
          arguments.emplace_back("scopes", joined);
        }
        if (!customParameters.empty()) {
          nlohmann::json parameters = nlohmann::json::object();
          for (const auto& [key, value] : customParameters) parameters[key] = value;
          platform::ErrorPtr serializationError;
          auto serialized = dav_auth_json::serialize(parameters, &serializationError);
          if (!serialized) {
            if (completion)
              completion(std::nullopt, DAVAuthErrorUtils::JSONSerializationErrorWithUnderlyingError(serializationError));
            return;
          }
          arguments.emplace_back("customParameters", *serialized);
        }
        if (auto language = configuration->languageCode()) arguments.emplace_back("hl", *language);
        std::string query;
        for (const auto& [key, value] : arguments)
          query += (query.empty() ? "" : "&") + DAVAuthPercentEncodeQueryComponent(key) + "=" + DAVAuthPercentEncodeQueryComponent(value);
        if (completion) completion("https://" + *authDomain + "/__/auth/handler?" + query, nullptr);
      });
}

std::optional<std::string> DAVOAuthProvider::OAuthResponseForURL(const std::string& URL, platform::ErrorPtr* error) {
  auto outer = DAVAuthWebUtils::dictionaryWithHttpArgumentsString(queryOf(URL));
  auto deepLink = outer.find("deep_link_id");
  std::map<std::string, std::string> inner;
  if (deepLink != outer.end()) inner = DAVAuthWebUtils::dictionaryWithHttpArgumentsString(queryOf(deepLink->second));
  if (auto link = inner.find("link"); link != inner.end()) return link->second;
  if (!error) return std::nullopt;
  const std::string errorText = inner.count("davedoveError") ? inner.at("davedoveError") : std::string();
  nlohmann::json parsed = dav_auth_json::parseOrDiscarded(errorText);
  if (parsed.is_discarded()) {
    *error = DAVAuthErrorUtils::JSONSerializationErrorWithUnderlyingError(
        platform::makeError("NSCocoaErrorDomain", 3840, "The web sign-in error is not JSON."));
    return std::nullopt;
  }
  std::optional<std::string> code, message;
  if (parsed.is_object()) {
    if (parsed.contains("code") && parsed["code"].is_string()) code = parsed["code"].get<std::string>();
    if (parsed.contains("message") && parsed["message"].is_string()) message = parsed["message"].get<std::string>();
  }
  *error = DAVAuthErrorUtils::URLResponseErrorWithCode(code.value_or(""), message.value_or(""));
  if (!*error) {
    *error = code && message ? DAVAuthErrorUtils::webSignInUserInteractionFailureWithReason("[" + *code + "] - " + *message)
                             : DAVAuthErrorUtils::webSignInUserInteractionFailureWithReason();
  }
  return std::nullopt;
}
