#include "backend/dns/DnsAnswer.h"

#include <ldns/ldns.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace backend {
namespace {

constexpr uint32_t kTtl = 60;
constexpr size_t kMinUdpAnswer = 512;

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

std::optional<std::string> toWire(const ldns_pkt* p) {
  uint8_t* wire = nullptr;
  size_t size = 0;
  if (ldns_pkt2wire(&wire, p, &size) != LDNS_STATUS_OK) return std::nullopt;
  std::string out(reinterpret_cast<char*>(wire), size);
  LDNS_FREE(wire);
  return out;
}

// An answer that only echoes the query's header (id, opcode, RD) with the code: for a query that
// cannot be read further, or asks for what no resolver here does.
std::string headerOnlyAnswer(const uint8_t* query, ldns_pkt_rcode rcode) {
  uint8_t header[LDNS_HEADER_SIZE] = {};
  header[0] = query[0];
  header[1] = query[1];
  header[2] = static_cast<uint8_t>(LDNS_QR_MASK | (query[2] & (LDNS_OPCODE_MASK | LDNS_RD_MASK)));
  header[3] = static_cast<uint8_t>(LDNS_RA_MASK | (static_cast<uint8_t>(rcode) & LDNS_RCODE_MASK));
  return std::string(reinterpret_cast<const char*>(header), sizeof header);
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

size_t udpAnswerLimit(const std::string& query) {
  ldns_pkt* parsed = nullptr;
  if (ldns_wire2pkt(&parsed, reinterpret_cast<const uint8_t*>(query.data()), query.size()) != LDNS_STATUS_OK)
    return kMinUdpAnswer;
  Pkt q(parsed);
  const size_t size = ldns_pkt_edns(q.get()) ? ldns_pkt_edns_udp_size(q.get()) : 0;
  return std::max(size, kMinUdpAnswer);
}

std::optional<std::string> answerDnsQuery(const std::string& query, const DnsBlockList& blocked,
                                          const DnsTable& table, size_t maxSize) {
  if (query.size() < LDNS_HEADER_SIZE) return std::nullopt;
  const auto* header = reinterpret_cast<const uint8_t*>(query.data());
  if (LDNS_QR_WIRE(header)) return std::nullopt;  // a response: answering it could start a loop
  if (LDNS_OPCODE_WIRE(header) != LDNS_PACKET_QUERY) return headerOnlyAnswer(header, LDNS_RCODE_NOTIMPL);

  ldns_pkt* parsed = nullptr;
  if (ldns_wire2pkt(&parsed, header, query.size()) != LDNS_STATUS_OK) return headerOnlyAnswer(header, LDNS_RCODE_FORMERR);
  Pkt q(parsed);
  if (ldns_pkt_qdcount(q.get()) != 1 || ldns_rr_list_rr_count(ldns_pkt_question(q.get())) != 1)
    return headerOnlyAnswer(header, LDNS_RCODE_FORMERR);
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

  std::optional<std::string> out = toWire(r.get());
  if (!out || maxSize == 0 || out->size() <= maxSize) return out;
  // Too big for the client's datagram: header and question, TC set, and the whole answer over TCP.
  ldns_rr_list_deep_free(ldns_pkt_answer(r.get()));
  ldns_pkt_set_answer(r.get(), ldns_rr_list_new());
  ldns_pkt_set_ancount(r.get(), 0);
  ldns_pkt_set_tc(r.get(), true);
  return toWire(r.get());
}

}  // namespace backend
