#include "backend/src/BackendServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

#include "backend/src/DocumentService.h"
#include "backend/src/IdentityService.h"
#include "platform/foundation/Utf8.h"

namespace backend {

BackendServer::BackendServer(BackendOptions options)
    : options_(std::move(options)), recorder_(options_.recordRequests) {
  auto identity = std::make_unique<IdentityService>(options_.projectId, options_.dataDir);
  identity_ = identity.get();
  services_.push_back(std::move(identity));
  auto documents = std::make_unique<DocumentService>(*identity_, options_.projectId, options_.dataDir,
                                                     options_.host, options_.documentsPort);
  documents_ = documents.get();
  services_.push_back(std::move(documents));
}

BackendServer::~BackendServer() { stop(); }

void BackendServer::addService(std::unique_ptr<Service> service) { services_.push_back(std::move(service)); }

std::string BackendServer::hostAndPort() const { return options_.host + ":" + std::to_string(port_); }
std::string BackendServer::documentsHostAndPort() const { return documents_->hostAndPort(); }

std::string BackendServer::baseURL() const { return "http://" + hostAndPort(); }

bool BackendServer::start(std::string* error) {
  if (running_) return true;
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    for (auto& s : services_) s->stop();
    http_.reset();
    unlockDataDir();
    return false;
  };
  if (!options_.dataDir.empty()) {
    const std::string& dir = options_.dataDir;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return fail("cannot create the data directory " + dir);
    // One program at a time on a data directory, and the lock before any service reads or writes
    // there: a second program is refused before it has touched a file of the one that runs.
    dataDirLock_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dataDirLock_ < 0) return fail("cannot open the data directory " + dir + ": " + std::strerror(errno));
    if (::flock(dataDirLock_, LOCK_EX | LOCK_NB) != 0)
      return fail(errno == EWOULDBLOCK ? "the data directory " + dir + " is in use by another program"
                                       : "cannot lock the data directory " + dir + ": " + std::strerror(errno));
  }

  for (auto& s : services_) {
    std::string err;
    if (!s->open(&err)) return fail(s->name() + ": " + err);
  }
  {
    std::string err;
    if (!admin_.create(options_.dataDir, &err)) return fail(err);
  }
  std::vector<std::pair<nlohmann::json, std::string>> seeds;  // each with where it comes from
  if (!options_.seedFile.empty()) {
    std::ifstream in(options_.seedFile);
    if (!in) return fail("cannot read the seed file " + options_.seedFile);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    if (!platform::isValidUtf8(text)) return fail("the seed file is not valid UTF-8: " + options_.seedFile);
    auto seed = parseJSON(text);
    if (seed.is_discarded()) return fail("the seed file is not JSON: " + options_.seedFile);
    seeds.emplace_back(std::move(seed), " (the seed file " + options_.seedFile + ")");
  }
  if (options_.seed) seeds.emplace_back(*options_.seed, "");
  for (const auto& [seed, source] : seeds)
    for (auto& s : services_) {
      std::string err;
      if (!s->applySeed(seed, &err)) return fail(s->name() + ": " + err + source);
    }

  http_ = std::make_unique<httplib::Server>();
  // Slow or silent clients each hold a worker until their read times out; the pool outlasts many.
  http_->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  http_->set_read_timeout(kReadTimeoutSeconds, 0);
  http_->set_write_timeout(kReadTimeoutSeconds, 0);
  http_->set_keep_alive_timeout(kReadTimeoutSeconds);
  http_->set_payload_max_length(kMaxRequestBodyBytes);
  // Before the body is read: only bodies of a declared length, never compressed ones (the library
  // would inflate them without a bound, and no client of ours compresses a request).
  http_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    auto reply = [&](int status, const char* text) {
      res.status = status;
      res.set_header("Connection", "close");
      res.set_content(text, "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    };
    if (req.has_header("Transfer-Encoding")) return reply(411, "Length Required");
    std::string encoding = req.get_header_value("Content-Encoding");
    if (!encoding.empty() && encoding != "identity") return reply(415, "Unsupported Media Type");
    if (req.path.rfind("/admin/", 0) == 0 && !admin_.admit(req, res)) return httplib::Server::HandlerResponse::Handled;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // After routing, so the body has been read; still before the reply goes out.
  http_->set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    if (!recorder_.enabled()) return;
    RecordedRequest r;
    r.method = req.method;
    r.path = req.path;
    for (const auto& [k, v] : req.params) r.query[k] = v;
    for (const auto& [k, v] : req.headers) r.headers.emplace_back(k, v);
    r.body = req.body;
    auto parsed = parseJSON(req.body);
    if (!parsed.is_discarded()) r.json = std::move(parsed);
    recorder_.record(std::move(r));
  });
  if (!options_.quiet) {
    // Method, path and status only: queries, headers and bodies carry keys, tokens and passwords.
    http_->set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::cerr << "vorellin-backend: " << showInLog(req.method) << " " << showInLog(req.path) << " " << res.status
                << std::endl;
    });
  }
  for (auto& s : services_) s->registerRoutes(*http_);

  int port = options_.port == 0 ? http_->bind_to_any_port(options_.host)
                                : (http_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
  if (port <= 0) return fail("cannot listen on " + options_.host + ":" + std::to_string(options_.port));
  port_ = static_cast<uint16_t>(port);

  for (auto& s : services_) {
    std::string err;
    if (!s->start(&err)) return fail(s->name() + ": " + err);
  }
  running_ = true;
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  // A stop() before the loop runs would be lost (and its join would never end): wait for the loop.
  while (!http_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void BackendServer::stop() {
  if (!running_) return;
  running_ = false;
  http_->stop();
  if (thread_.joinable()) thread_.join();
  for (auto it = services_.rbegin(); it != services_.rend(); ++it) (*it)->stop();
  http_.reset();
  unlockDataDir();
}

void BackendServer::unlockDataDir() {
  if (dataDirLock_ < 0) return;
  ::close(dataDirLock_);  // ends the lock
  dataDirLock_ = -1;
}

}  // namespace backend
