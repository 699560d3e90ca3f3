// A request of the backend transport: knows its URL and its JSON body.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "auth/DAVAuthRequestConfiguration.h"
#include "platform/foundation/Error.h"

class DAVAuthRPCRequest {
 public:
  virtual ~DAVAuthRPCRequest() = default;

  virtual std::string requestURL() const = 0;
  virtual bool containsPostBody() const { return true; }
  // The body as a JSON value; nullopt (with *error set) when it cannot be made.
  virtual std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const;
  virtual DAVAuthRequestConfigurationPtr requestConfiguration() const { return nullptr; }
};

// Everything but the unreserved characters (letters, digits, "-", "_", ".", "~") percent-escaped.
std::string DAVAuthPercentEncodeQueryComponent(const std::string& text);

// "<base>/<path>?key=<API key>" where base is the configured service URL or "https://" + host.
std::string DAVAuthMakeServiceURL(const std::optional<std::string>& baseURL, const std::string& host,
                                  const std::string& path, const std::string& APIKey);
