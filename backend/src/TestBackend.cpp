#include "backend/src/TestBackend.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>

namespace backend {

std::string randomLoopbackAddress() {
  static std::mutex mutex;
  static std::mt19937 random{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mutex);
  std::uniform_int_distribution<int> high(64, 254), mid(0, 255), low(1, 254);
  return "127." + std::to_string(high(random)) + "." + std::to_string(mid(random)) + "." +
         std::to_string(low(random));
}

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
