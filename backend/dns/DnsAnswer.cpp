#include "backend/dns/DnsAnswer.h"

#include <ldns/ldns.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace backend {
namespace {

constexpr uint32_t kTtl = 60;

struct PktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;

ldns_rr* addressRecord(const ldns_rdf* owner, ldns_rr_type type, const std::string& text) {
  ldns_rdf* rdata = ldns_rdf_new_frm_str(type == LDNS_RR_TYPE_A ? LDNS_RDF_TYPE_A : LDNS_RDF_TYPE_AAAA, text.c_str());
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

std::string normaliseDnsName(std::string name) {
  while (!name.empty() && name.back() == '.') name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  return name;
}

DnsBlockList::DnsBlockList(const std::set<std::string>& names, bool subdomains) : subdomains_(subdomains) {
  for (const auto& n : names) names_.insert(normaliseDnsName(n));
}

bool DnsBlockList::blocks(const std::string& name) const {
  std::string n = normaliseDnsName(name);
  if (names_.count(n)) return true;
  if (!subdomains_) return false;
  for (size_t dot = n.find('.'); dot != std::string::npos; dot = n.find('.', dot + 1)) {
    if (names_.count(n.substr(dot + 1))) return true;
  }
  return false;
}

std::optional<std::string> answerDnsQuery(const std::string& query, const DnsBlockList& blocked,
                                          const DnsTable& table) {
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
  const std::string name = ownerText ? ownerText : "";
  LDNS_FREE(ownerText);

  Pkt r(ldns_pkt_new());
  ldns_pkt_set_id(r.get(), ldns_pkt_id(q.get()));
  ldns_pkt_set_qr(r.get(), true);
  ldns_pkt_set_opcode(r.get(), LDNS_PACKET_QUERY);
  ldns_pkt_set_rd(r.get(), ldns_pkt_rd(q.get()));
  ldns_pkt_set_ra(r.get(), true);
  ldns_pkt_set_rcode(r.get(), LDNS_RCODE_NOERROR);
  ldns_pkt_push_rr(r.get(), LDNS_SECTION_QUESTION, ldns_rr_clone(question));
  const ldns_rr_type type = ldns_rr_get_type(question);
  const bool isAddress = ldns_rr_get_class(question) == LDNS_RR_CLASS_IN &&
                         (type == LDNS_RR_TYPE_A || type == LDNS_RR_TYPE_AAAA);
  ldns_rr* record = nullptr;
  if (blocked.blocks(name)) {
    if (isAddress) record = addressRecord(owner, type, type == LDNS_RR_TYPE_A ? "0.0.0.0" : "::");
  } else {
    const DnsLookup found = table(name, type == LDNS_RR_TYPE_AAAA);
    if (!found.known) {
      ldns_pkt_set_rcode(r.get(), LDNS_RCODE_NXDOMAIN);
    } else if (isAddress && !found.address.empty()) {
      record = addressRecord(owner, type, found.address);
    }
  }
  if (record) ldns_pkt_push_rr(r.get(), LDNS_SECTION_ANSWER, record);

  uint8_t* wire = nullptr;
  size_t size = 0;
  if (ldns_pkt2wire(&wire, r.get(), &size) != LDNS_STATUS_OK) return std::nullopt;
  std::string out(reinterpret_cast<char*>(wire), size);
  LDNS_FREE(wire);
  return out;
}

}  // namespace backend
