#include "backend/dns/FilteringDnsService.h"

#include <iostream>

namespace backend {
namespace {

const char* const kModeLists[] = {"normal", "extreme", "ultraExtreme"};

bool readNames(const nlohmann::json& v, std::set<std::string>* out) {
  if (!v.is_array()) return false;
  for (const auto& name : v) {
    if (!name.is_string()) return false;
    out->insert(name.get<std::string>());
  }
  return true;
}

}  // namespace

FilteringDnsService::~FilteringDnsService() { stop(); }

bool FilteringDnsService::applySeed(const nlohmann::json& seed, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  if (seed.contains("filteringDns")) {
    const auto& config = seed["filteringDns"];
    if (!config.is_object()) return fail("filteringDns must be an object");
    configured_ = true;
    const nlohmann::json answers = config.value("answers", nlohmann::json::object());
    const nlohmann::json lists = config.value("blockLists", nlohmann::json::object());
    const nlohmann::json resolvers = config.value("resolvers", nlohmann::json::object());
    if (!answers.is_object() || !lists.is_object() || !resolvers.is_object())
      return fail("filteringDns.answers, .blockLists and .resolvers must be objects");
    for (const auto& [name, address] : answers.items()) {
      if (!address.is_string()) return fail("filteringDns.answers must map names to IPv4 addresses");
      answers_[name] = address.get<std::string>();
    }
    for (const auto& [list, names] : lists.items()) {
      if (!readNames(names, &lists_[list])) return fail("filteringDns.blockLists." + list + " must list names");
    }
    for (const auto& [address, list] : resolvers.items()) {
      if (!list.is_string()) return fail("filteringDns.resolvers must map addresses to list names");
      wanted_[address] = list.get<std::string>();
    }
    if (config.contains("port")) {
      const auto& p = config["port"];
      if (!p.is_number_integer() || p.get<int64_t>() < 0 || p.get<int64_t>() > 65535)
        return fail("filteringDns.port must be a port");
      port_ = static_cast<uint16_t>(p.get<int64_t>());
    }
  }
  if (!seed.contains("documents") || !seed["documents"].is_object()) return true;
  const auto& documents = seed["documents"];
  auto addresses = [&](const nlohmann::json& fields, const std::string& list) -> bool {
    if (!fields.is_object() || !fields.contains("ipv4")) return true;
    std::set<std::string> found;
    if (!readNames(fields["ipv4"], &found)) return false;
    for (const auto& a : found) wanted_[a] = list;
    return true;
  };
  if (documents.contains("dnsServers/blockModes")) {
    const auto& modes = documents["dnsServers/blockModes"];
    for (const char* mode : kModeLists) {
      if (modes.is_object() && modes.contains(mode) && !addresses(modes[mode], mode))
        return fail(std::string("dnsServers/blockModes: ") + mode + ".ipv4 must list addresses");
    }
  }
  if (documents.contains("dnsServers/customDns") && !addresses(documents["dnsServers/customDns"], kCustomList))
    return fail("dnsServers/customDns: ipv4 must list addresses");
  for (const auto& [path, fields] : documents.items()) {
    if (path.rfind("customBlacklist/", 0) != 0 || !fields.is_object() || !fields.contains("blacklist")) continue;
    if (!readNames(fields["blacklist"], &lists_[kCustomList])) return fail(path + ": blacklist must list names");
  }
  return true;
}

DnsBlockList FilteringDnsService::blockList(const std::string& listName) const {
  auto it = lists_.find(listName);
  return it == lists_.end() ? DnsBlockList() : DnsBlockList(it->second, true);
}

bool FilteringDnsService::addResolver(const std::string& address, const std::string& listName, std::string* error) {
  if (!resolvers_) resolvers_ = std::make_unique<PlainDnsResolvers>(answers_);
  return resolvers_->add(address, listName, blockList(listName), port_, error);
}

bool FilteringDnsService::start(std::string* error) {
  // Resolver documents alone (a seed for the document service only) start nothing.
  if (!configured_) return true;
  for (const auto& [address, list] : wanted_) {
    if (!addResolver(address, list, error)) return false;
  }
  std::cout << "filteringDns=";
  const char* sep = "";
  for (const auto& e : resolvers_ ? resolvers_->resolvers() : std::vector<PlainDnsResolvers::Entry>{}) {
    std::cout << sep << e.address << "/" << e.listName;
    sep = " ";
  }
  std::cout << std::endl;
  return true;
}

void FilteringDnsService::stop() {
  if (resolvers_) resolvers_->stop();
  resolvers_.reset();
}

}  // namespace backend
