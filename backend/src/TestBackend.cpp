#include "backend/src/TestBackend.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace backend {

TestBackend::TestBackend(std::vector<SeedUser> users, std::vector<std::string> apiKeys) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorellin-backend-XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    std::perror("TestBackend: mkdtemp");
    std::abort();
  }
  dataDir_ = tmpl;
  BackendOptions options;
  options.dataDir = dataDir_;
  options.quiet = true;
  options.recordRequests = 1000;
  nlohmann::json seed = {{"users", nlohmann::json::array()}};
  if (!apiKeys.empty()) seed["apiKeys"] = apiKeys;
  for (const auto& u : users)
    seed["users"].push_back({{"uid", u.uid},
                             {"email", u.email},
                             {"password", u.password},
                             {"displayName", u.displayName},
                             {"photoUrl", u.photoUrl},
                             {"disabled", u.disabled},
                             {"emailVerified", u.emailVerified}});
  options.seed = seed;
  server_ = std::make_unique<BackendServer>(options);
  std::string error;
  if (!server_->start(&error)) {
    std::fprintf(stderr, "TestBackend: cannot start the backend stand-in: %s\n", error.c_str());
    std::abort();
  }
}

TestBackend::~TestBackend() {
  server_->stop();
  server_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dataDir_, ec);
}

}  // namespace backend
