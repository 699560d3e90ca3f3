// The filtering resolvers of the backend stand-in: one plain DNS resolver (UDP and TCP) for every
// address that the seed's resolver documents list ("dnsServers/blockModes": each mode's "ipv4";
// "dnsServers/customDns": "ipv4"), each answering 0.0.0.0 for the names of its own block list. Seed keys:
//
//   "documents": {"dnsServers/blockModes": {"normal": {"ipv4": ["127.0.0.11"]}, ...},
//                 "dnsServers/customDns": {"ipv4": ["127.0.0.41"]},
//                 "customBlacklist/<uid>": {"blacklist": ["names.the.user.listed"], ...}}
//   "filteringDns": {"answers": {"www.vorellin.test": "192.0.2.20"},        names that resolve
//                    "blockLists": {"normal": [...], "extreme": [...], "ultraExtreme": [...]},
//                    "resolvers": {"127.0.0.99": "extreme"},                more, beside the documents'
//                    "port": 53}
//
// The custom block list's resolvers block the names of every seeded "customBlacklist" document's
// "blacklist". Blocking covers subdomains. Nothing is forwarded: other names are NXDOMAIN.
// Once serving it prints "filteringDns=ADDRESS/LIST ..." on standard output.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "backend/dns/PlainDnsResolvers.h"
#include "backend/src/Service.h"

namespace backend {

class FilteringDnsService : public Service {
 public:
  static constexpr const char* kCustomList = "custom";

  FilteringDnsService() = default;
  ~FilteringDnsService() override;

  std::string name() const override { return "filtering resolvers"; }
  bool applySeed(const nlohmann::json& seed, std::string* error) override;
  bool start(std::string* error) override;
  void stop() override;

  // Serves one more resolver with the named list ("normal", "extreme", "ultraExtreme", "custom").
  bool addResolver(const std::string& address, const std::string& listName, std::string* error = nullptr);
  PlainDnsResolvers* resolvers() { return resolvers_.get(); }

 private:
  DnsBlockList blockList(const std::string& listName) const;

  std::map<std::string, std::string> answers_;
  std::map<std::string, std::set<std::string>> lists_;
  std::map<std::string, std::string> wanted_;  // address -> list name
  uint16_t port_ = 53;
  bool configured_ = false;
  std::unique_ptr<PlainDnsResolvers> resolvers_;
};

}  // namespace backend
