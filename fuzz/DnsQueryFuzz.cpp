// DNS messages as clients send them to the proxy and to the backend stand-in's filtering resolvers:
// the same calls their UDP and TCP paths make, with no upstream server, so every query that parses is
// answered from here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Vorellin/dnscrypt/service/DohForwarder.h"
#include "backend/dns/DnsAnswer.h"

using namespace vorellin::fenwix;

namespace {

void proxy(const std::string& query) {
  static const auto* forwarder = new DohForwarder(ProxyConfiguration{});
  const size_t limit = DohForwarder::udpLimit(query);
  auto udp = forwarder->resolve(query, limit);
  auto tcp = forwarder->resolve(query, 0);
  auto failure = DohForwarder::servfail(query);
  // A query that is answered on one path is answered on every path.
  if (udp.has_value() != tcp.has_value() || tcp.has_value() != failure.has_value()) __builtin_trap();
  if (udp && udp->size() > limit) __builtin_trap();
}

void filteringResolver(const std::string& query) {
  static const auto* blocked = new backend::DnsBlockList({"blocked.example"}, true);
  const backend::DnsTable table = [](const std::string& name, bool isV6) {
    return backend::DnsLookup{name.size() % 2 == 0, isV6 ? "" : "192.0.2.1"};
  };
  const size_t limit = backend::udpAnswerLimit(query);
  auto udp = backend::answerDnsQuery(query, *blocked, table, limit);
  auto tcp = backend::answerDnsQuery(query, *blocked, table);
  // Every message with a query's header gets an answer (if only FORMERR or NOTIMP), with its id; nothing else does.
  const bool isQuery = query.size() >= 12 && !(static_cast<unsigned char>(query[2]) & 0x80);
  if (udp.has_value() != isQuery || tcp.has_value() != isQuery) __builtin_trap();
  if (!udp) return;
  if (udp->size() > limit || udp->size() < 12 || tcp->size() < 12) __builtin_trap();
  if (udp->compare(0, 2, query, 0, 2) != 0 || tcp->compare(0, 2, query, 0, 2) != 0) __builtin_trap();
  if (!(static_cast<unsigned char>((*udp)[2]) & 0x80)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string query(reinterpret_cast<const char*>(data), size);
  proxy(query);
  filteringResolver(query);
  return 0;
}
