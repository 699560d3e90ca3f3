#include "backend/src/TestBackend.h"

#include <httplib.h>
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

std::string digAnswer(const std::string& server, const std::string& name, const std::string& type,
                      const std::string& options) {
  const std::string command = "dig +tries=1 +time=2 " + options + " -t " + type + " @" + server + " " + name +
                              " | awk '/status:/ {s=$6} /^[^;].*IN/ {print $5} END {if (s==\"NXDOMAIN,\") print \"NXDOMAIN\"}'";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  ::pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "TestBackend: %s\n", what.c_str());
  std::abort();
}

}  // namespace

TestBackend::TestBackend(std::vector<SeedUser> users, std::vector<std::string> apiKeys,
                         nlohmann::json documents) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorellin-backend-XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    std::perror("TestBackend: mkdtemp");
    std::abort();
  }
  dataDir_ = tmpl;
  options_.dataDir = dataDir_;
  options_.quiet = true;
  options_.recordRequests = 1000;
  nlohmann::json seed = {{"users", nlohmann::json::array()}};
  if (!apiKeys.empty()) {
    seed["apiKeys"] = apiKeys;
    apiKey_ = apiKeys.front();
  } else {
    apiKey_ = "test-api-key";
  }
  for (const auto& u : users)
    seed["users"].push_back({{"uid", u.uid},
                             {"email", u.email},
                             {"password", u.password},
                             {"displayName", u.displayName},
                             {"photoUrl", u.photoUrl},
                             {"disabled", u.disabled},
                             {"emailVerified", u.emailVerified}});
  if (!documents.is_null()) seed["documents"] = documents;
  options_.seed = seed;
  start();
}

TestBackend::~TestBackend() {
  stop();
  std::error_code ec;
  std::filesystem::remove_all(dataDir_, ec);
}

void TestBackend::start() {
  if (server_) return;
  server_ = std::make_unique<BackendServer>(options_);
  server_->identity().keepSentMails(true);
  std::string error;
  if (!server_->start(&error)) die("cannot start the backend stand-in: " + error);
  // A restart comes back where the clients expect it.
  options_.port = server_->port();
  options_.documentsPort = server_->documents().port();
}

void TestBackend::stop() {
  if (!server_) return;
  server_->stop();
  server_.reset();
}

void TestBackend::restart() {
  stop();
  start();
}

SignedInUser TestBackend::signIn(const std::string& email, const std::string& password) {
  httplib::Client client("127.0.0.1", port());
  nlohmann::json body = {{"email", email}, {"password", password}, {"returnSecureToken", true}};
  auto res = client.Post("/identityservice/v3/relyingparty/verifyPassword?key=" + apiKey_, body.dump(),
                         "application/json");
  if (!res || res->status != 200) die("sign-in of " + email + " failed");
  auto reply = nlohmann::json::parse(res->body, nullptr, false);
  if (reply.is_discarded() || !reply.contains("idToken")) die("sign-in of " + email + ": no ID token");
  return {reply.value("localId", ""), reply.value("idToken", ""), reply.value("refreshToken", "")};
}

std::optional<int64_t> TestBackend::adminWrite(const std::string& method, const std::string& path,
                                               const nlohmann::json& fields) {
  httplib::Client client("127.0.0.1", port());
  client.set_bearer_token_auth(server_->adminToken());
  std::string url = "/admin/v1/documents/" + path;
  httplib::Result res = method == "PUT"     ? client.Put(url, fields.dump(), "application/json")
                        : method == "PATCH" ? client.Patch(url, fields.dump(), "application/json")
                                            : client.Delete(url);
  if (!res || res->status != 200) return std::nullopt;
  auto reply = nlohmann::json::parse(res->body, nullptr, false);
  if (reply.is_discarded() || !reply["version"].is_number_integer()) return std::nullopt;
  return reply["version"].get<int64_t>();
}

std::optional<int64_t> TestBackend::setDocument(const std::string& path, const nlohmann::json& fields) {
  return adminWrite("PUT", path, fields);
}

std::optional<int64_t> TestBackend::mergeDocument(const std::string& path, const nlohmann::json& fields) {
  return adminWrite("PATCH", path, fields);
}

std::optional<int64_t> TestBackend::deleteDocument(const std::string& path) {
  return adminWrite("DELETE", path, nullptr);
}

nlohmann::json TestBackend::getDocument(const std::string& path) {
  httplib::Client client("127.0.0.1", port());
  client.set_bearer_token_auth(server_->adminToken());
  auto res = client.Get("/admin/v1/documents/" + path);
  if (!res) die("the admin interface does not answer");
  if (res->status == 404) return nullptr;
  auto reply = nlohmann::json::parse(res->body, nullptr, false);
  if (res->status != 200 || reply.is_discarded()) die("admin GET " + path + " failed: " + res->body);
  return reply;
}

bool TestBackend::adminAccountAction(const std::string& uid, const std::string& action) {
  httplib::Client client("127.0.0.1", port());
  client.set_bearer_token_auth(server_->adminToken());
  auto res = client.Post("/admin/v1/accounts/" + httplib::detail::encode_query_param(uid) + ":" + action);
  return res && res->status == 200;
}

std::vector<nlohmann::json> TestBackend::listDocuments(const std::string& collectionPath) {
  nlohmann::json reply = getDocument(collectionPath);
  std::vector<nlohmann::json> out;
  if (reply.is_object() && reply["documents"].is_array())
    for (const auto& d : reply["documents"]) out.push_back(d);
  return out;
}

}  // namespace backend
