#include "Vorellin/dnscrypt/service/DohForwarder.h"

#include <curl/curl.h>
#include <ldns/ldns.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace vorellin::fenwix {
namespace {

constexpr size_t kMaxMessage = 65535;
constexpr const char* kMediaType = "application/dns-message";

struct PktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;

Pkt fromWire(const std::string& bytes) {
  ldns_pkt* p = nullptr;
  if (ldns_wire2pkt(&p, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) != LDNS_STATUS_OK) {
    return nullptr;
  }
  return Pkt(p);
}

std::optional<std::string> toWire(const ldns_pkt* p) {
  uint8_t* wire = nullptr;
  size_t size = 0;
  if (ldns_pkt2wire(&wire, p, &size) != LDNS_STATUS_OK) return std::nullopt;
  std::string out(reinterpret_cast<char*>(wire), size);
  LDNS_FREE(wire);
  return out;
}

// A query we forward: not a response, a standard query, exactly one question.
Pkt parseQuery(const std::string& bytes) {
  Pkt q = fromWire(bytes);
  if (!q || ldns_pkt_qr(q.get()) || ldns_pkt_get_opcode(q.get()) != LDNS_PACKET_QUERY ||
      ldns_pkt_qdcount(q.get()) != 1 || ldns_rr_list_rr_count(ldns_pkt_question(q.get())) != 1) {
    return nullptr;
  }
  return q;
}

const ldns_rr* question(const ldns_pkt* p) { return ldns_rr_list_rr(ldns_pkt_question(p), 0); }

bool sameQuestion(const ldns_pkt* query, const ldns_pkt* answer) {
  if (ldns_pkt_qdcount(answer) != 1 || ldns_rr_list_rr_count(ldns_pkt_question(answer)) != 1) return false;
  const ldns_rr* a = question(query);
  const ldns_rr* b = question(answer);
  return ldns_rr_get_type(a) == ldns_rr_get_type(b) && ldns_rr_get_class(a) == ldns_rr_get_class(b) &&
         ldns_dname_compare(ldns_rr_owner(a), ldns_rr_owner(b)) == 0;
}

// Header and question of the query, flagged as a response with the given code.
Pkt responseHeader(const ldns_pkt* query, ldns_pkt_rcode rcode) {
  Pkt r(ldns_pkt_new());
  if (!r) return nullptr;
  ldns_pkt_set_id(r.get(), ldns_pkt_id(query));
  ldns_pkt_set_qr(r.get(), true);
  ldns_pkt_set_opcode(r.get(), LDNS_PACKET_QUERY);
  ldns_pkt_set_rd(r.get(), ldns_pkt_rd(query));
  ldns_pkt_set_cd(r.get(), ldns_pkt_cd(query));
  ldns_pkt_set_ra(r.get(), true);
  ldns_pkt_set_rcode(r.get(), static_cast<uint8_t>(rcode));
  ldns_pkt_push_rr(r.get(), LDNS_SECTION_QUESTION, ldns_rr_clone(question(query)));
  if (ldns_pkt_edns(query)) ldns_pkt_set_edns_udp_size(r.get(), 1232);
  return r;
}

size_t writeBody(char* data, size_t size, size_t count, void* user) {
  auto* out = static_cast<std::string*>(user);
  size_t n = size * count;
  if (out->size() + n > kMaxMessage) return 0;  // aborts the transfer
  out->append(data, n);
  return n;
}

// "host[:port][/path]" -> libcurl's "host:port:address" for a stamp that names the address.
std::string resolvePin(const DnsStamp& stamp) {
  if (stamp.address.empty()) return "";
  std::string authority = stamp.host.substr(0, stamp.host.find('/'));
  std::string host = authority, port = "443";
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return "";
    host = authority.substr(0, close + 1);
    if (close + 2 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
  } else if (size_t colon = authority.rfind(':'); colon != std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  std::string address = stamp.address;
  if (!address.empty() && address[0] == '[') {
    address = address.substr(0, address.find(']') + 1);
  } else if (std::count(address.begin(), address.end(), ':') == 1) {
    address = address.substr(0, address.find(':'));
  }
  return host + ":" + port + ":" + address;
}

}  // namespace

DohForwarder::DohForwarder(const ProxyConfiguration& config)
    : timeoutMs_(config.timeoutMs), caFile_(config.caFile) {
  for (const auto& server : config.servers) {
    if (server.stamp.pinsCertificates()) {
      // Never talk to a pinned server without checking the pin.
      std::fprintf(stderr, "[WARNING] %s: certificate hashes are not supported; server skipped\n",
                   server.name.c_str());
      continue;
    }
    upstreams_.push_back({server.name, server.stamp.url(), resolvePin(server.stamp)});
  }
}

size_t DohForwarder::udpLimit(const std::string& query) {
  Pkt q = fromWire(query);
  if (!q) return 0;
  size_t limit = ldns_pkt_edns(q.get()) ? ldns_pkt_edns_udp_size(q.get()) : 512;
  return limit < 512 ? 512 : limit;
}

std::optional<std::string> DohForwarder::servfail(const std::string& query) {
  Pkt q = parseQuery(query);
  if (!q) return std::nullopt;
  Pkt r = responseHeader(q.get(), LDNS_RCODE_SERVFAIL);
  return r ? toWire(r.get()) : std::nullopt;
}

std::optional<std::string> DohForwarder::resolve(const std::string& query, size_t maxSize) const {
  Pkt q = parseQuery(query);
  if (!q) return std::nullopt;

  // Id 0 upstream, as DNS-over-HTTPS asks, so identical queries can be cached.
  Pkt upstreamQuery(ldns_pkt_clone(q.get()));
  ldns_pkt_set_id(upstreamQuery.get(), 0);
  std::optional<std::string> body = toWire(upstreamQuery.get());

  Pkt answer;
  if (body) {
    for (const auto& upstream : upstreams_) {
      std::optional<std::string> reply = post(upstream, *body);
      if (!reply) continue;
      Pkt a = fromWire(*reply);
      if (!a || !ldns_pkt_qr(a.get()) || !sameQuestion(q.get(), a.get())) {
        std::fprintf(stderr, "[WARNING] %s: answer does not match the query\n", upstream.name.c_str());
        continue;
      }
      answer = std::move(a);
      break;
    }
  }
  if (!answer) {
    Pkt r = responseHeader(q.get(), LDNS_RCODE_SERVFAIL);
    return r ? toWire(r.get()) : std::nullopt;
  }
  ldns_pkt_set_id(answer.get(), ldns_pkt_id(q.get()));
  std::optional<std::string> wire = toWire(answer.get());
  if (wire && (maxSize == 0 || wire->size() <= maxSize)) return wire;

  // Too big for the client's datagram (or not writable): header and question, TC set, so it retries on TCP.
  Pkt r = responseHeader(q.get(), ldns_pkt_get_rcode(answer.get()));
  if (!r) return std::nullopt;
  ldns_pkt_set_tc(r.get(), true);
  ldns_pkt_set_aa(r.get(), ldns_pkt_aa(answer.get()));
  return toWire(r.get());
}

std::optional<std::string> DohForwarder::post(const Upstream& upstream, const std::string& body) const {
  CURL* curl = curl_easy_init();
  if (!curl) return std::nullopt;
  std::string reply;
  struct curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/dns-message");
  headers = curl_slist_append(headers, "Accept: application/dns-message");
  struct curl_slist* pins = nullptr;
  if (!upstream.resolve.empty()) pins = curl_slist_append(pins, upstream.resolve.c_str());

  curl_easy_setopt(curl, CURLOPT_URL, upstream.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs_));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  if (pins) curl_easy_setopt(curl, CURLOPT_RESOLVE, pins);
  if (!caFile_.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  }

  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  char* contentType = nullptr;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType);
  bool ok = rc == CURLE_OK && status == 200 && contentType &&
            strncasecmp(contentType, kMediaType, std::char_traits<char>::length(kMediaType)) == 0;
  if (rc != CURLE_OK) {
    std::fprintf(stderr, "[WARNING] %s: %s\n", upstream.name.c_str(), curl_easy_strerror(rc));
  } else if (!ok) {
    std::fprintf(stderr, "[WARNING] %s: HTTP %ld, content type %s\n", upstream.name.c_str(), status,
                 contentType ? contentType : "none");
  }
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  curl_slist_free_all(pins);
  if (!ok) return std::nullopt;
  return reply;
}

}  // namespace vorellin::fenwix
