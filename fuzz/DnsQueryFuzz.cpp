// DNS messages as clients send them to the proxy: the same calls its UDP and TCP paths make, with no
// upstream server, so every query that parses is answered from here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Vorellin/dnscrypt/service/DohForwarder.h"

using namespace vorellin::fenwix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto* forwarder = new DohForwarder(ProxyConfiguration{});
  const std::string query(reinterpret_cast<const char*>(data), size);
  const size_t limit = DohForwarder::udpLimit(query);
  auto udp = forwarder->resolve(query, limit);
  auto tcp = forwarder->resolve(query, 0);
  auto failure = DohForwarder::servfail(query);
  // A query that is answered on one path is answered on every path.
  if (udp.has_value() != tcp.has_value() || tcp.has_value() != failure.has_value()) __builtin_trap();
  if (udp && udp->size() > limit) __builtin_trap();
  return 0;
}
