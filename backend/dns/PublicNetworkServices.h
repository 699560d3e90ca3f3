// The backend program's services on the public network: the three public-IP echo services and the
// custom block list's DNS-over-HTTPS resolver. Both are off unless the seed asks for them:
//
//   "publicIpEcho": {"answers": ["203.0.113.7", "203.0.113.7", "203.0.113.7"], "ports": [0, 0, 0]}
//   "dohResolver":  {"blocked": ["blocked.example"], "address": "192.0.2.10", "port": 0}
//
// Once started, each prints where it serves on standard output ("publicIpEcho=URL URL URL",
// "dohResolver=URL caFile=PATH"); port 0 picks a free port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backend/dns/DohResolver.h"
#include "backend/dns/PublicIpEchoServer.h"
#include "backend/src/Service.h"

namespace backend {

class PublicNetworkServices : public Service {
 public:
  PublicNetworkServices() = default;
  ~PublicNetworkServices() override;

  std::string name() const override { return "public network services"; }
  bool applySeed(const nlohmann::json& seed, std::string* error) override;
  bool start(std::string* error) override;
  void stop() override;

  const std::vector<std::unique_ptr<PublicIpEchoServer>>& echoServers() const { return echo_; }
  DohResolver* dohResolver() { return doh_.get(); }

 private:
  std::vector<std::unique_ptr<PublicIpEchoServer>> echo_;
  std::vector<uint16_t> echoPorts_;
  std::unique_ptr<DohResolver> doh_;
  uint16_t dohPort_ = 0;
  std::string certificateDir_;
};

}  // namespace backend
