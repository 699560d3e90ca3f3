#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One network service of the simulated Mac, as networksetup and scutil see it.
struct NetworkService {
  std::string name;
  bool enabled = true;
  std::vector<std::string> dhcpDnsServers;  // handed out by the network; in force while no manual servers are set
  std::vector<std::string> dnsServers;      // set with "networksetup -setdnsservers"; empty: none set
  bool ipv6Off = false;

  // What the system resolves with through this service: the manual servers, else the DHCP ones.
  const std::vector<std::string>& resolvers() const { return dnsServers.empty() ? dhcpDnsServers : dnsServers; }

  bool operator==(const NetworkService& o) const {
    return name == o.name && enabled == o.enabled && dhcpDnsServers == o.dhcpDnsServers &&
           dnsServers == o.dnsServers && ipv6Off == o.ipv6Off;
  }
};

// A launchd job loaded with "launchctl load".
struct LaunchJob {
  std::string label;
  std::string plistPath;  // as given to launchctl (a macOS path)
  bool operator==(const LaunchJob& o) const { return label == o.label && plistPath == o.plistPath; }
};

// State of the simulated Mac's network and launchd, kept as JSON files under the platform root:
//   <root>/SimulatedMac/network.json
//     {"services": [{"name": "Wi-Fi", "enabled": true, "dhcpDnsServers": ["192.168.1.1"],
//                    "dnsServers": [], "ipv6Off": false}, ...]}        (list order = service order)
//   <root>/SimulatedMac/launchd.json
//     {"jobs": [{"label": "mac.com.example.Job", "plist": "/Applications/X.app/Contents/Resources/Job.plist"}]}
// Every member but "name"/"label" may be left out. A missing file is an empty state. Changes are atomic
// and serialised across processes (see StateFile).
class SimulatedMac {
 public:
  static std::string stateDirectory();
  static std::string networkStatePath();
  static std::string launchdStatePath();

  // Network services in listing order. Write refuses empty or duplicate names.
  static std::optional<std::vector<NetworkService>> readNetworkServices(std::string* error = nullptr);
  static bool writeNetworkServices(const std::vector<NetworkService>& services, std::string* error = nullptr);
  // Read-modify-write under the lock; fn returns false to leave the file unchanged.
  static bool updateNetworkServices(const std::function<bool(std::vector<NetworkService>&)>& fn,
                                    std::string* error = nullptr);
  // nullopt when there is no such service or the state cannot be read.
  static std::optional<NetworkService> networkService(const std::string& name);

  // Loaded launchd jobs in load order.
  static std::optional<std::vector<LaunchJob>> readLoadedJobs(std::string* error = nullptr);
  static bool writeLoadedJobs(const std::vector<LaunchJob>& jobs, std::string* error = nullptr);
  static bool updateLoadedJobs(const std::function<bool(std::vector<LaunchJob>&)>& fn, std::string* error = nullptr);
  static bool isJobLoaded(const std::string& label);
};

}  // namespace platform
