#include "auth/DAVGetProjectConfigResponse.h"

#include "auth/DAVAuthJSON.h"

bool DAVGetProjectConfigResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  if (error) *error = nullptr;
  projectID_ = dav_auth_json::stringForKey(dictionary, "projectId");
  authorizedDomains_.reset();
  auto it = dictionary.find("authorizedDomains");
  if (it != dictionary.end()) {
    nlohmann::json domains = *it;
    if (domains.is_string()) {
      try {
        domains = dav_auth_json::parse(domains.get<std::string>());
      } catch (const nlohmann::json::exception&) {
        domains = nullptr;
      }
    }
    if (domains.is_array()) authorizedDomains_ = *dav_auth_json::toValue(domains).asArray();
  }
  return true;
}
