// Stand-in for the system configuration tool; only the DNS listing ("scutil --dns") is provided.
#include <cstdio>
#include <string>

#include "platform/tools/SimulatedMac.h"

using platform::NetworkService;
using platform::SimulatedMac;

namespace {

int printDns() {
  std::string error;
  auto services = SimulatedMac::readNetworkServices(&error);
  if (!services) {
    std::fprintf(stderr, "scutil: %s\n", error.c_str());
    return 1;
  }
  std::printf("DNS configuration\n\n");
  int resolver = 0;
  for (const NetworkService& s : *services) {
    // A disabled service, or one with neither manual nor DHCP servers, contributes no resolver.
    if (!s.enabled || s.resolvers().empty()) continue;
    std::printf("resolver #%d\n", ++resolver);
    for (size_t i = 0; i < s.resolvers().size(); ++i)
      std::printf("  nameserver[%zu] : %s\n", i, s.resolvers()[i].c_str());
    std::printf("  flags    : Request A records\n  reach    : 0x00000002 (Reachable)\n\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--dns") return printDns();
  std::fprintf(stderr, "usage: scutil --dns\n");
  return 1;
}
