#include "platform/foundation/LoopbackHost.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>

namespace platform {

bool isLoopbackHost(const std::string& text) {
  std::string host;
  for (char c : text) host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto portOnly = [](const std::string& rest) {
    return rest.size() > 1 && rest[0] == ':' && rest.find_first_not_of("0123456789", 1) == std::string::npos;
  };
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    if (close == std::string::npos) return false;
    std::string rest = host.substr(close + 1);
    if (!rest.empty() && !portOnly(rest)) return false;
    host = host.substr(1, close - 1);
  } else if (size_t colon = host.find(':'); colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
    if (!portOnly(host.substr(colon))) return false;
    host = host.substr(0, colon);
  }  // more than one colon: a bare IPv6 address, taken whole
  if (host == "localhost" || host == "localhost.") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

}  // namespace platform
