// "getProjectConfig": the project's id and authorized domains; sent without a body.
#pragma once

#include "auth/DAVIdentityServiceRequest.h"

class DAVGetProjectConfigRequest : public DAVIdentityServiceRequest {
 public:
  explicit DAVGetProjectConfigRequest(DAVAuthRequestConfigurationPtr requestConfiguration);
  bool containsPostBody() const override { return false; }
};
