// Stand-in for the network configuration tool: lists the simulated Mac's network services and sets, reads
// and clears their DNS servers. Messages go to standard output, as the system tool writes them.
#include <arpa/inet.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/tools/SimulatedMac.h"

using platform::NetworkService;
using platform::SimulatedMac;

namespace {

constexpr int kFailure = 1;

int parametersNotValid(const std::string& reason) {
  std::printf("%s\n** Error: The parameters were not valid.\n", reason.c_str());
  return kFailure;
}

int stateError(const std::string& error) {
  std::printf("** Error: %s\n", error.c_str());
  return kFailure;
}

int usage(const char* form) {
  std::printf("Usage: networksetup %s\n", form);
  return kFailure;
}

bool isIpAddress(const std::string& text) {
  unsigned char buf[sizeof(struct in6_addr)];
  return ::inet_pton(AF_INET, text.c_str(), buf) == 1 || ::inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

std::string notRecognized(const std::string& service) { return service + " is not a recognized network service."; }

NetworkService* find(std::vector<NetworkService>& services, const std::string& name) {
  for (NetworkService& s : services)
    if (s.name == name) return &s;
  return nullptr;
}

int listAllNetworkServices() {
  std::string error;
  auto services = SimulatedMac::readNetworkServices(&error);
  if (!services) return stateError(error);
  std::printf("An asterisk (*) denotes that a network service is disabled.\n");
  for (const NetworkService& s : *services) std::printf("%s%s\n", s.enabled ? "" : "*", s.name.c_str());
  return 0;
}

// Applies change to the named service under the state lock; the message of a refusal is printed.
int changeService(const std::string& name, const std::function<std::string(NetworkService&)>& change) {
  std::string refusal;
  std::string error;
  bool ok = SimulatedMac::updateNetworkServices(
      [&](std::vector<NetworkService>& services) {
        NetworkService* service = find(services, name);
        refusal = service ? change(*service) : notRecognized(name);
        return refusal.empty();
      },
      &error);
  if (!ok) return stateError(error);
  if (!refusal.empty()) return parametersNotValid(refusal);
  return 0;
}

int setDnsServers(const std::string& name, const std::vector<std::string>& addresses) {
  return changeService(name, [&](NetworkService& service) -> std::string {
    // "empty" in place of the first address clears the list.
    if (addresses.front() == "empty") {
      service.dnsServers.clear();
      return {};
    }
    for (const std::string& a : addresses)
      if (!isIpAddress(a)) return a + " is not a valid IP address.";
    service.dnsServers = addresses;
    return {};
  });
}

int getDnsServers(const std::string& name) {
  std::string error;
  auto services = SimulatedMac::readNetworkServices(&error);
  if (!services) return stateError(error);
  const NetworkService* service = find(*services, name);
  if (!service) return parametersNotValid(notRecognized(name));
  if (service->dnsServers.empty()) {
    std::printf("There aren't any DNS Servers set on %s.\n", name.c_str());
    return 0;
  }
  for (const std::string& a : service->dnsServers) std::printf("%s\n", a.c_str());
  return 0;
}

int setV6Off(const std::string& name) {
  return changeService(name, [](NetworkService& service) -> std::string {
    service.ipv6Off = true;
    return {};
  });
}

int help() {
  std::printf(
      "networksetup Help Information\n"
      "-------------------------------\n"
      "Usage: networksetup -listallnetworkservices\n"
      "Usage: networksetup -getdnsservers <networkservice>\n"
      "Usage: networksetup -setdnsservers <networkservice> <dns1> [dns2] [...]\n"
      "Usage: networksetup -setv6off <networkservice>\n");
  return kFailure;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return help();
  const std::string& command = args[0];
  if (command == "-listallnetworkservices") return listAllNetworkServices();
  if (command == "-setdnsservers") {
    if (args.size() < 3) return usage("-setdnsservers <networkservice> <dns1> [dns2] [...]");
    return setDnsServers(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
  }
  if (command == "-getdnsservers") {
    if (args.size() != 2) return usage("-getdnsservers <networkservice>");
    return getDnsServers(args[1]);
  }
  if (command == "-setv6off") {
    if (args.size() != 2) return usage("-setv6off <networkservice>");
    return setV6Off(args[1]);
  }
  std::printf("** Error: Unknown command %s\n", command.c_str());
  return help();
}
