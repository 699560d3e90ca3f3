#include "platform/tools/SimulatedMac.h"

#include <set>

#include "platform/foundation/System.h"
#include "platform/tools/StateFile.h"

namespace platform {
namespace {

using nlohmann::json;

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// Strict reading: a member of the wrong type makes the whole file malformed rather than silently dropped.
bool readStrings(const json& object, const char* key, std::vector<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_array()) return false;
  for (const json& item : *it) {
    if (!item.is_string()) return false;
    out.push_back(item.get<std::string>());
  }
  return true;
}

bool readBool(const json& object, const char* key, bool& out) {
  auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_boolean()) return false;
  out = it->get<bool>();
  return true;
}

std::optional<std::vector<NetworkService>> servicesFromJson(const json& doc, std::string* error) {
  std::vector<NetworkService> services;
  auto list = doc.find("services");
  if (list == doc.end()) return services;
  if (!list->is_array()) {
    setError(error, "network state: \"services\" is not a list");
    return std::nullopt;
  }
  for (size_t i = 0; i < list->size(); ++i) {
    const json& item = (*list)[i];
    NetworkService s;
    bool ok = item.is_object() && item.contains("name") && item["name"].is_string();
    if (ok) s.name = item["name"].get<std::string>();
    ok = ok && readBool(item, "enabled", s.enabled) && readStrings(item, "dhcpDnsServers", s.dhcpDnsServers) &&
         readStrings(item, "dnsServers", s.dnsServers) && readBool(item, "ipv6Off", s.ipv6Off);
    if (!ok) {
      setError(error, "network state: service " + std::to_string(i) + " is malformed");
      return std::nullopt;
    }
    services.push_back(std::move(s));
  }
  return services;
}

bool servicesToJson(const std::vector<NetworkService>& services, json& doc, std::string* error) {
  std::set<std::string> names;
  json list = json::array();
  for (const NetworkService& s : services) {
    if (s.name.empty() || !names.insert(s.name).second) {
      setError(error, "network state: empty or duplicate service name \"" + s.name + "\"");
      return false;
    }
    list.push_back({{"name", s.name},
                    {"enabled", s.enabled},
                    {"dhcpDnsServers", s.dhcpDnsServers},
                    {"dnsServers", s.dnsServers},
                    {"ipv6Off", s.ipv6Off}});
  }
  doc["services"] = std::move(list);
  return true;
}

std::optional<std::vector<LaunchJob>> jobsFromJson(const json& doc, std::string* error) {
  std::vector<LaunchJob> jobs;
  auto list = doc.find("jobs");
  if (list == doc.end()) return jobs;
  if (!list->is_array()) {
    setError(error, "launchd state: \"jobs\" is not a list");
    return std::nullopt;
  }
  for (size_t i = 0; i < list->size(); ++i) {
    const json& item = (*list)[i];
    if (!item.is_object() || !item.contains("label") || !item["label"].is_string() ||
        (item.contains("plist") && !item["plist"].is_string())) {
      setError(error, "launchd state: job " + std::to_string(i) + " is malformed");
      return std::nullopt;
    }
    jobs.push_back({item["label"].get<std::string>(), item.value("plist", std::string())});
  }
  return jobs;
}

bool jobsToJson(const std::vector<LaunchJob>& jobs, json& doc, std::string* error) {
  std::set<std::string> labels;
  json list = json::array();
  for (const LaunchJob& j : jobs) {
    if (j.label.empty() || !labels.insert(j.label).second) {
      setError(error, "launchd state: empty or duplicate job label \"" + j.label + "\"");
      return false;
    }
    list.push_back({{"label", j.label}, {"plist", j.plistPath}});
  }
  doc["jobs"] = std::move(list);
  return true;
}

// Shared read-modify-write of one typed list inside a state file.
template <typename T, typename From, typename To>
bool updateList(const std::string& path, From from, To to, const std::function<bool(std::vector<T>&)>& fn,
                std::string* error) {
  std::string failure;
  bool ok = StateFile(path).update(
      [&](json& doc) {
        std::optional<std::vector<T>> items = from(doc, &failure);
        if (!items) return false;
        if (!fn(*items)) return false;
        return to(*items, doc, &failure);
      },
      error);
  if (ok && !failure.empty()) {
    setError(error, failure);
    return false;
  }
  return ok;
}

}  // namespace

std::string SimulatedMac::stateDirectory() { return platformRoot() + "/SimulatedMac"; }
std::string SimulatedMac::networkStatePath() { return stateDirectory() + "/network.json"; }
std::string SimulatedMac::launchdStatePath() { return stateDirectory() + "/launchd.json"; }

std::optional<std::vector<NetworkService>> SimulatedMac::readNetworkServices(std::string* error) {
  std::optional<json> doc = StateFile(networkStatePath()).read(error);
  if (!doc) return std::nullopt;
  return servicesFromJson(*doc, error);
}

bool SimulatedMac::writeNetworkServices(const std::vector<NetworkService>& services, std::string* error) {
  return updateNetworkServices(
      [&](std::vector<NetworkService>& current) {
        current = services;
        return true;
      },
      error);
}

bool SimulatedMac::updateNetworkServices(const std::function<bool(std::vector<NetworkService>&)>& fn,
                                         std::string* error) {
  return updateList<NetworkService>(networkStatePath(), servicesFromJson, servicesToJson, fn, error);
}

std::optional<NetworkService> SimulatedMac::networkService(const std::string& name) {
  std::optional<std::vector<NetworkService>> services = readNetworkServices();
  if (!services) return std::nullopt;
  for (const NetworkService& s : *services)
    if (s.name == name) return s;
  return std::nullopt;
}

std::optional<std::vector<LaunchJob>> SimulatedMac::readLoadedJobs(std::string* error) {
  std::optional<json> doc = StateFile(launchdStatePath()).read(error);
  if (!doc) return std::nullopt;
  return jobsFromJson(*doc, error);
}

bool SimulatedMac::writeLoadedJobs(const std::vector<LaunchJob>& jobs, std::string* error) {
  return updateLoadedJobs(
      [&](std::vector<LaunchJob>& current) {
        current = jobs;
        return true;
      },
      error);
}

bool SimulatedMac::updateLoadedJobs(const std::function<bool(std::vector<LaunchJob>&)>& fn, std::string* error) {
  return updateList<LaunchJob>(launchdStatePath(), jobsFromJson, jobsToJson, fn, error);
}

bool SimulatedMac::isJobLoaded(const std::string& label) {
  std::optional<std::vector<LaunchJob>> jobs = readLoadedJobs();
  if (!jobs) return false;
  for (const LaunchJob& j : *jobs)
    if (j.label == label) return true;
  return false;
}

}  // namespace platform
