// Helpers of the web sign-in flow: random strings, callback URLs, query arguments, the auth domain.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuthRequestConfiguration.h"
#include "platform/foundation/Error.h"

// The hosting service's domain suffix that an auth domain ends with.
inline constexpr const char kDAVAuthHostingDomainSuffix[] = "davedoveapp.com";

struct DAVURLQueryItem {
  std::string name;
  std::optional<std::string> value;
};

class DAVAuthWebUtils {
 public:
  // length lower-case letters "a" to "z", each drawn uniformly.
  static std::string randomStringWithLength(unsigned length);
  // The main bundle lists the scheme (ignoring case) under "CFBundleURLTypes" / "CFBundleURLSchemes".
  static bool isCallbackSchemeRegisteredForCustomURLScheme(const std::string& scheme);
  static bool isExpectedCallbackURL(const std::optional<std::string>& URL, const std::string& eventID,
                                    const std::string& authType, const std::string& callbackScheme);
  // completion(domain, error) on the auth global work queue.
  static void fetchAuthDomainWithRequestConfiguration(
      DAVAuthRequestConfigurationPtr requestConfiguration,
      std::function<void(std::optional<std::string> authDomain, platform::ErrorPtr error)> completion);
  static std::optional<std::string> queryItemValue(const std::string& name, const std::vector<DAVURLQueryItem>& items);
  static std::map<std::string, std::string> dictionaryWithHttpArgumentsString(const std::string& argumentsString);
  // "+" becomes " ", then percent-escapes are removed; none when an escape is malformed.
  static std::optional<std::string> stringByUnescapingFromURLArgument(const std::string& argument);
  // Percent-escapes removed ("+" stays); none when an escape is malformed.
  static std::optional<std::string> stringByRemovingPercentEncoding(const std::string& text);
  // The query items of a URL (percent-escapes removed); empty without a query.
  static std::vector<DAVURLQueryItem> queryItemsOfURL(const std::string& URL);
};
