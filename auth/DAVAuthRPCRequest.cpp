#include "auth/DAVAuthRPCRequest.h"

#include <cctype>
#include <cstdio>

std::optional<nlohmann::json> DAVAuthRPCRequest::unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  return nlohmann::json::object();
}

std::string DAVAuthPercentEncodeQueryComponent(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%%%02X", c);
      out += buffer;
    }
  }
  return out;
}

std::string DAVAuthMakeServiceURL(const std::optional<std::string>& baseURL, const std::string& host,
                                  const std::string& path, const std::string& APIKey) {
  std::string base = baseURL && !baseURL->empty() ? *baseURL : "https://" + host;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + path + "?key=" + DAVAuthPercentEncodeQueryComponent(APIKey);
}
