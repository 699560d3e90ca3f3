#include "backend/dns/PublicNetworkServices.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace backend {
namespace {

bool readPort(const nlohmann::json& v, uint16_t* port) {
  if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 65535) return false;
  *port = static_cast<uint16_t>(v.get<int64_t>());
  return true;
}

}  // namespace

PublicNetworkServices::~PublicNetworkServices() { stop(); }

bool PublicNetworkServices::applySeed(const nlohmann::json& seed, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  if (seed.contains("publicIpEcho")) {
    const auto& echo = seed["publicIpEcho"];
    if (!echo.is_object()) return fail("publicIpEcho must be an object");
    const auto answers = echo.value("answers", nlohmann::json::array());
    if (!answers.is_array() || answers.size() != 3)
      return fail("publicIpEcho.answers must list three answers");
    const auto ports = echo.value("ports", nlohmann::json::array({0, 0, 0}));
    if (!ports.is_array() || ports.size() != 3) return fail("publicIpEcho.ports must list three ports");
    echo_.clear();
    echoPorts_.clear();
    for (size_t i = 0; i < 3; ++i) {
      uint16_t port = 0;
      if (!answers[i].is_string()) return fail("publicIpEcho.answers must be texts");
      if (!readPort(ports[i], &port)) return fail("publicIpEcho.ports must be port numbers");
      // The third service answers on "/ip".
      echo_.push_back(std::make_unique<PublicIpEchoServer>(answers[i].get<std::string>(), i == 2 ? "/ip" : "/"));
      echoPorts_.push_back(port);
    }
  }
  if (seed.contains("dohResolver")) {
    const auto& doh = seed["dohResolver"];
    if (!doh.is_object()) return fail("dohResolver must be an object");
    std::vector<std::string> blocked;
    for (const auto& name : doh.value("blocked", nlohmann::json::array())) {
      if (!name.is_string()) return fail("dohResolver.blocked must list names");
      blocked.push_back(name.get<std::string>());
    }
    const auto address = doh.value("address", nlohmann::json("192.0.2.10"));
    if (!address.is_string()) return fail("dohResolver.address must be an IPv4 address");
    if (doh.contains("port") && !readPort(doh["port"], &dohPort_)) return fail("dohResolver.port must be a port");
    doh_ = std::make_unique<DohResolver>(std::move(blocked), address.get<std::string>());
  }
  return true;
}

bool PublicNetworkServices::start(std::string* error) {
  for (size_t i = 0; i < echo_.size(); ++i) {
    if (!echo_[i]->start(echoPorts_[i], error)) return false;
  }
  if (!echo_.empty()) {
    std::cout << "publicIpEcho=" << echo_[0]->url() << " " << echo_[1]->url() << " " << echo_[2]->url()
              << std::endl;
  }
  if (doh_) {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorellin-doh-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
      if (error) *error = "cannot create a folder for the certificates";
      return false;
    }
    certificateDir_ = tmpl;
    if (!doh_->start(certificateDir_, dohPort_, error)) return false;
    std::cout << "dohResolver=" << doh_->url() << " caFile=" << doh_->caFile() << std::endl;
  }
  return true;
}

void PublicNetworkServices::stop() {
  for (auto& e : echo_) e->stop();
  if (doh_) doh_->stop();
  if (!certificateDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(certificateDir_, ec);
    certificateDir_.clear();
  }
}

}  // namespace backend
