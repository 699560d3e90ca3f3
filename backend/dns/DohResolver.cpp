#include "backend/dns/DohResolver.h"

#include <httplib.h>
#include <ldns/ldns.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/foundation/Base64.h"

namespace backend {
namespace {

constexpr const char* kMediaType = "application/dns-message";
constexpr uint32_t kTtl = 60;

std::string normalise(std::string name) {
  while (!name.empty() && name.back() == '.') name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  return name;
}

struct PktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;

ldns_rr* addressRecord(const ldns_rdf* owner, ldns_rr_type type, const char* text) {
  ldns_rdf* rdata = ldns_rdf_new_frm_str(type == LDNS_RR_TYPE_A ? LDNS_RDF_TYPE_A : LDNS_RDF_TYPE_AAAA, text);
  if (!rdata) return nullptr;
  ldns_rr* rr = ldns_rr_new();
  ldns_rr_set_owner(rr, ldns_rdf_clone(owner));
  ldns_rr_set_type(rr, type);
  ldns_rr_set_class(rr, LDNS_RR_CLASS_IN);
  ldns_rr_set_ttl(rr, kTtl);
  ldns_rr_push_rdf(rr, rdata);
  return rr;
}

}  // namespace

DohResolver::DohResolver(std::vector<std::string> blocked, std::string address) : address_(std::move(address)) {
  for (auto& name : blocked) blocked_.insert(normalise(name));
}

DohResolver::~DohResolver() { stop(); }

std::string DohResolver::hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string DohResolver::url(const std::string& path) const { return "https://" + hostAndPort() + path; }

std::vector<std::string> DohResolver::requestPaths() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return paths_;
}

bool DohResolver::isBlocked(const std::string& name) const { return blocked_.count(normalise(name)) != 0; }

std::optional<std::string> DohResolver::answer(const std::string& query) const {
  ldns_pkt* parsed = nullptr;
  if (ldns_wire2pkt(&parsed, reinterpret_cast<const uint8_t*>(query.data()), query.size()) != LDNS_STATUS_OK) {
    return std::nullopt;
  }
  Pkt q(parsed);
  if (ldns_pkt_qr(q.get()) || ldns_pkt_qdcount(q.get()) != 1 ||
      ldns_rr_list_rr_count(ldns_pkt_question(q.get())) != 1) {
    return std::nullopt;
  }
  const ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(q.get()), 0);
  const ldns_rdf* owner = ldns_rr_owner(question);
  char* ownerText = ldns_rdf2str(owner);
  bool blocked = ownerText && isBlocked(ownerText);
  LDNS_FREE(ownerText);

  Pkt r(ldns_pkt_new());
  ldns_pkt_set_id(r.get(), ldns_pkt_id(q.get()));
  ldns_pkt_set_qr(r.get(), true);
  ldns_pkt_set_opcode(r.get(), LDNS_PACKET_QUERY);
  ldns_pkt_set_rd(r.get(), ldns_pkt_rd(q.get()));
  ldns_pkt_set_ra(r.get(), true);
  ldns_pkt_set_rcode(r.get(), LDNS_RCODE_NOERROR);
  ldns_pkt_push_rr(r.get(), LDNS_SECTION_QUESTION, ldns_rr_clone(question));
  ldns_rr_type type = ldns_rr_get_type(question);
  ldns_rr* record = nullptr;
  if (ldns_rr_get_class(question) == LDNS_RR_CLASS_IN) {
    if (type == LDNS_RR_TYPE_A) record = addressRecord(owner, type, blocked ? "0.0.0.0" : address_.c_str());
    if (type == LDNS_RR_TYPE_AAAA && blocked) record = addressRecord(owner, type, "::");
  }
  if (record) ldns_pkt_push_rr(r.get(), LDNS_SECTION_ANSWER, record);

  uint8_t* wire = nullptr;
  size_t size = 0;
  if (ldns_pkt2wire(&wire, r.get(), &size) != LDNS_STATUS_OK) return std::nullopt;
  std::string out(reinterpret_cast<char*>(wire), size);
  LDNS_FREE(wire);
  return out;
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
