// Commands run as the user, DNS switching on the serial DNS-transition queue, and the launchd job.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace vorellin {

struct ShellResult {
  std::string output;
  int status = -1;
};

class AppUtils {
 public:
  // ---- command runner ----
  // Runs one command line through /bin/sh and waits; standard output (not trimmed; "" when not UTF-8)
  // and the exit status.
  static ShellResult shellResult(const std::string& commandLine);

  // ---- DNS switching ----
  static constexpr const char* kDnsTransitionQueueLabel = "mac.com.trennelwick.vorellin.dns-transition";
  static constexpr const char* kProxyAddress = "127.0.0.1";
  static constexpr const char* kListServicesCommand = "networksetup -listallnetworkservices | grep -v \"*\"";
  static constexpr const char* kResolverListCommand = "scutil --dns | grep nameserver | awk '{print $3}'";

  // Serial, quality of service utility, made on first use and kept for the life of the process.
  static const platform::dispatch::QueuePtr& dnsTransitionQueue();

  // Runs on the DNS-transition queue only: callers submit it there asynchronously and never wait.
  static void setDns(bool force, bool clearDns, std::string functionCaller, std::string file, int line);

  static std::vector<std::string> dnsServersForCurrentState();
  static bool dnsAlreadyApplied(const std::vector<std::string>& ips);
  // What the network services are set to, for settings that cannot be read: whether any has DNS servers
  // of its own (automatic DNS has none; services that cannot be read count as set), whether the proxy's
  // address is among them, whether the custom block list's resolvers are, the strictest mode whose
  // resolvers are.
  struct DnsInForce {
    bool protection = false;
    bool proxy = false;
    bool customBlacklist = false;
    std::optional<int64_t> mode;
  };
  static DnsInForce dnsInForce();
  static void applyDns(const std::vector<std::string>& ips);
  static void disableIPV6();

  // The proxy check run first by setDns while protection, the custom block list and the encrypted-DNS
  // option are all on. Its argument is forceRestart; its result is not used. Unset (the running
  // program): FenwixHelper::checkFenwixService. Tests may put another in its place.
  using FenwixServiceCheck = std::function<bool(bool forceRestart)>;
  static void setFenwixServiceCheck(FenwixServiceCheck check);

  // Forgets the custom block list that DNS switching last read, as a new process starts without one.
  static void forgetLastCustomBlacklistDnsForTesting();

  // Reorders a list of three or more wanted addresses before the first two are written. The default
  // is a uniform shuffle from the system random source; nullptr restores it.
  using AddressShuffle = std::function<void(std::vector<std::string>&)>;
  static void setAddressShuffle(AddressShuffle shuffle);
  // What applyDns writes for a wanted list: "empty" for none, else at most two of them.
  static std::vector<std::string> chooseAddresses(std::vector<std::string> ips);

  // Splits the output of the service listing into service names (empty lines dropped).
  static std::vector<std::string> serviceNames(const std::string& listing);

  // ---- public IP ----
  // Returns at once; on the global utility queue finds the public address, stores it as "currentIp"
  // (the old one moves to "previousIp") and registers it in the cloud while the custom block list's
  // plain resolvers protect the Mac. Refreshes running at once take turns with the settings.
  static void refreshPublicIp();
  // Asks the three echo services in order (all three, always) and returns the answer most of them
  // gave; ties go to the answer that reached the count first. Blocks.
  static std::optional<std::string> getPublicIp();
  // One echo service: the IPv4 address it answered (white space trimmed), or nullopt for a failed
  // transfer, a status outside 2xx or a body that is not an IPv4 address. Blocks.
  static std::optional<std::string> fetchPublicIp(const std::string& url);

  // Stores the address as "currentIp", moving the old value to "previousIp" (removed when there was
  // none), unless it is already stored; returns the old value. Callers take turns.
  static std::optional<std::string> storePublicIp(const std::string& address);
  // What a refresh does with the address it found: stores it and, while the custom block list's plain
  // resolvers protect the Mac, registers it, in one turn, so registrations arrive in the order the
  // addresses were stored.
  static void storeAndRegisterPublicIp(const std::string& address);

  // The echo services: set by a caller (tests), else the SDK's configured "PUBLIC_IP_ECHO_URLS". A
  // configured list of other than three entries is refused with an error line: the vote needs three,
  // so the default services are used.
  static std::vector<std::string> publicIpEchoUrls();
  static void setPublicIpEchoUrls(std::optional<std::vector<std::string>> urls);

  // The cloud registration of the address. Unset: nothing is registered.
  using CurrentIpRegistration = std::function<void(const std::string& ip)>;
  static void setCurrentIpRegistration(CurrentIpRegistration registration);

  // ---- main window tracking (defined with the application, which owns the window list) ----
  // Records the number of the last plain window of the application's window list as the main
  // window, once.
  static void recordMainWindowNumber();
  // Brings the main window to the front and closes the windows opened after it; with none recorded,
  // brings the first plain window forward.
  static void showMainWindow();

  // ---- launchd job of the application ----
  static constexpr const char* kServicePlistPath = "/Applications/Vorellin.app/Contents/Resources/VorellinService.plist";
  static constexpr const char* kServiceCheckCommand = "launchctl list | grep VorellinService";
  // "launchctl <command> -w <job property list>", command "load" or "unload".
  static std::string serviceCommand(const std::string& command);
  // Unload, then load only when the unload succeeded.
  static std::string restartServiceCommand();
  // Restarts the job and logs what launchctl printed; blocks until done.
  static void rebootService();
};

}  // namespace vorellin
