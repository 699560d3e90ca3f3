#include "auth/DAVAuthWebUtils.h"

#include <algorithm>
#include <cctype>
#include <openssl/rand.h>

#include "auth/DAVAuthBackend.h"
#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVGetProjectConfigRequest.h"
#include "auth/DAVGetProjectConfigResponse.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// The URL without its query and fragment.
std::string stripQueryAndFragment(const std::string& URL) {
  return URL.substr(0, URL.find_first_of("?#"));
}

}  // namespace

std::string DAVAuthWebUtils::randomStringWithLength(unsigned length) {
  // Bytes from the system's cryptographic source; those at or above 234 (9 * 26) are drawn again so
  // that every letter is equally likely.
  std::string out;
  out.reserve(length);
  unsigned char buffer[64];
  while (out.size() < length) {
    if (RAND_bytes(buffer, sizeof buffer) != 1) {
      platform::raise(platform::kInternalInconsistencyException, "The system's random source failed.");
    }
    for (unsigned char byte : buffer) {
      if (out.size() == length) break;
      if (byte < 234) out += static_cast<char>('a' + byte % 26);
    }
  }
  return out;
}

bool DAVAuthWebUtils::isCallbackSchemeRegisteredForCustomURLScheme(const std::string& scheme) {
  auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  const platform::Value* types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
  const platform::Array* typeList = types ? types->asArray() : nullptr;
  if (!typeList) return false;
  const std::string wanted = lower(scheme);
  for (const platform::Value& type : *typeList) {
    const platform::Value* schemes = type.find("CFBundleURLSchemes");
    const platform::Array* schemeList = schemes ? schemes->asArray() : nullptr;
    if (!schemeList) continue;
    for (const platform::Value& entry : *schemeList)
      if (const std::string* text = entry.asString(); text && lower(*text) == wanted) return true;
  }
  return false;
}

std::vector<DAVURLQueryItem> DAVAuthWebUtils::queryItemsOfURL(const std::string& URL) {
  std::vector<DAVURLQueryItem> items;
  size_t question = URL.find('?');
  if (question == std::string::npos) return items;
  std::string query = URL.substr(question + 1);
  query = query.substr(0, query.find('#'));
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string piece = query.substr(start, end - start);
    if (!piece.empty()) {
      size_t equals = piece.find('=');
      DAVURLQueryItem item;
      item.name = percentDecode(piece.substr(0, equals)).value_or(piece.substr(0, equals));
      if (equals != std::string::npos) {
        std::string raw = piece.substr(equals + 1);
        item.value = percentDecode(raw).value_or(raw);
      }
      items.push_back(std::move(item));
    }
    start = end + 1;
  }
  return items;
}

bool DAVAuthWebUtils::isExpectedCallbackURL(const std::optional<std::string>& URL, const std::string& eventID,
                                            const std::string& authType, const std::string& callbackScheme) {
  if (!URL) return false;
  if (stripQueryAndFragment(*URL) != callbackScheme + "://davedoveauth/link") return false;
  std::optional<std::string> deepLink = queryItemValue("deep_link_id", queryItemsOfURL(*URL));
  if (!deepLink) return false;
  std::vector<DAVURLQueryItem> deepItems = queryItemsOfURL(*deepLink);
  return queryItemValue("authType", deepItems) == authType && queryItemValue("eventId", deepItems) == eventID;
}

void DAVAuthWebUtils::fetchAuthDomainWithRequestConfiguration(
    DAVAuthRequestConfigurationPtr requestConfiguration,
    std::function<void(std::optional<std::string>, platform::ErrorPtr)> completion) {
  auto request = std::make_shared<DAVGetProjectConfigRequest>(std::move(requestConfiguration));
  DAVAuthBackend::getProjectConfig(request, [completion = std::move(completion)](
                                                std::shared_ptr<DAVGetProjectConfigResponse> response,
                                                platform::ErrorPtr error) {
    if (error) {
      completion(std::nullopt, error);
      return;
    }
    const std::string suffix = kDAVAuthHostingDomainSuffix;
    if (response->authorizedDomains()) {
      for (const platform::Value& entry : *response->authorizedDomains()) {
        const std::string* domain = entry.asString();
        if (!domain || domain->size() < suffix.size() + 2) continue;
        if (domain->compare(domain->size() - suffix.size(), suffix.size(), suffix) == 0) {
          completion(*domain, nullptr);
          return;
        }
      }
    }
    completion(std::nullopt, DAVAuthErrorUtils::unexpectedErrorResponseWithDeserializedResponse(
                                 platform::Value(std::shared_ptr<const platform::Object>(response))));
  });
}

std::optional<std::string> DAVAuthWebUtils::queryItemValue(const std::string& name,
                                                           const std::vector<DAVURLQueryItem>& items) {
  for (const DAVURLQueryItem& item : items)
    if (item.name == name) return item.value;
  return std::nullopt;
}

std::map<std::string, std::string> DAVAuthWebUtils::dictionaryWithHttpArgumentsString(
    const std::string& argumentsString) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t end = argumentsString.find('&', start);
    pieces.push_back(argumentsString.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::map<std::string, std::string> result;
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    if (it->empty()) continue;
    size_t equals = it->find('=');
    std::string key, value;
    if (equals == std::string::npos) {
      key = stringByUnescapingFromURLArgument(*it).value_or("");
    } else {
      key = stringByUnescapingFromURLArgument(it->substr(0, equals)).value_or("");
      value = stringByUnescapingFromURLArgument(it->substr(equals + 1)).value_or("");
    }
    result[key] = value;
  }
  return result;
}

std::optional<std::string> DAVAuthWebUtils::stringByUnescapingFromURLArgument(const std::string& argument) {
  std::string text = argument;
  std::replace(text.begin(), text.end(), '+', ' ');
  return percentDecode(text);
}

std::optional<std::string> DAVAuthWebUtils::stringByRemovingPercentEncoding(const std::string& text) {
  return percentDecode(text);
}
