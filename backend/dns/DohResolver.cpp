#include "backend/dns/DohResolver.h"

#include <httplib.h>

#include <chrono>

#include "platform/foundation/Base64.h"

namespace backend {
namespace {

constexpr const char* kMediaType = "application/dns-message";
constexpr uint32_t kTtl = 60;

}  // namespace

DohResolver::DohResolver(std::vector<std::string> blocked, std::string address)
    : blocked_(std::set<std::string>(blocked.begin(), blocked.end()), false), address_(std::move(address)) {}

DohResolver::~DohResolver() { stop(); }

std::string DohResolver::hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string DohResolver::url(const std::string& path) const { return "https://" + hostAndPort() + path; }

std::vector<std::string> DohResolver::requestPaths() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return paths_;
}

std::optional<std::string> DohResolver::answer(const std::string& query) const {
  return answerDnsQuery(query, blocked_, [this](const std::string&, bool isV6) {
    return DnsLookup{true, isV6 ? "" : address_};
  });
}

bool DohResolver::start(const std::string& certificateDir, uint16_t port, std::string* error) {
  if (https_) return true;
  auto fail = [&](const std::string& text) {
    https_.reset();
    if (error) *error = text;
    return false;
  };
  std::string why;
  if (!authority_.create(certificateDir, &why)) return fail(why);
  https_ = std::make_unique<httplib::SSLServer>(authority_.certFile().c_str(), authority_.keyFile().c_str());
  if (!https_->is_valid()) return fail("cannot set up TLS with " + authority_.certFile());

  auto reply = [this](const httplib::Request& req, httplib::Response& res, const std::string& query) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      paths_.push_back(req.path);
    }
    std::optional<std::string> wire = answer(query);
    if (!wire) {
      res.status = 400;
      res.set_content("not a DNS query", "text/plain");
      return;
    }
    res.status = 200;
    res.set_header("Cache-Control", "max-age=" + std::to_string(kTtl));
    res.set_content(*wire, kMediaType);
  };
  https_->Post(".*", [reply](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Content-Type") != kMediaType) {
      res.status = 415;
      return;
    }
    reply(req, res, req.body);
  });
  https_->Get(".*", [reply](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> query =
        req.has_param("dns") ? platform::base64URLDecode(req.get_param_value("dns")) : std::nullopt;
    if (!query) {
      res.status = 400;
      res.set_content("missing or malformed dns parameter", "text/plain");
      return;
    }
    reply(req, res, *query);
  });

  int bound = port == 0 ? https_->bind_to_any_port("127.0.0.1")
                        : (https_->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) return fail("cannot listen on 127.0.0.1:" + std::to_string(port));
  port_ = static_cast<uint16_t>(bound);
  thread_ = std::thread([this] { https_->listen_after_bind(); });
  // A stop() before the loop runs would be lost; wait for it.
  for (int i = 0; i < 5000 && !https_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void DohResolver::stop() {
  if (!https_) return;
  https_->stop();
  if (thread_.joinable()) thread_.join();
  https_.reset();
}

}  // namespace backend
