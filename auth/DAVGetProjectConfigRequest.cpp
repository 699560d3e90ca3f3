#include "auth/DAVGetProjectConfigRequest.h"

DAVGetProjectConfigRequest::DAVGetProjectConfigRequest(DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("getProjectConfig", std::move(requestConfiguration)) {}
