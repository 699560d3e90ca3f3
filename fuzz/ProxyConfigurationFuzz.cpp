// The proxy's TOML configuration and the DNS stamps in it; a configuration that loads also sets up
// its forwarder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Vorellin/dnscrypt/service/DnsStamp.h"
#include "Vorellin/dnscrypt/service/DohForwarder.h"
#include "Vorellin/dnscrypt/service/ProxyConfiguration.h"

using namespace vorellin::fenwix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (auto stamp = DnsStamp::parse(text, &error)) (void)stamp->url();
  if (auto stamp = DnsStamp::parse("sdns://" + text, &error)) (void)stamp->pinsCertificates();
  if (auto config = ProxyConfiguration::parse(text, &error)) DohForwarder forwarder(*config);
  return 0;
}
