#include "Vorellin/AppUtils.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "Vorellin/Text.h"
#include "Vorellin/URLSessionSynchronous.h"
#include "Vorellin/VrlUserDefault.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "platform/foundation/Utf8.h"
#include "platform/logging/Log.h"
#include "platform/process/Process.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace vorellin {
namespace {

using platform::isValidUtf8;
using text::lowercase;
using text::trim;

constexpr const char* kSetDnsFunction = "setDns(force:clearDns:functionCaller:file:line:)";
constexpr const char* kApplyDnsFunction = "applyDns(ips:)";
constexpr const char* kClearVerifiedText = "There aren't any DNS Servers set";

std::mutex& hookMutex() {
  static std::mutex mutex;
  return mutex;
}

AppUtils::FenwixServiceCheck& fenwixServiceCheckHook() {
  static AppUtils::FenwixServiceCheck check;
  return check;
}

AppUtils::AddressShuffle& addressShuffleHook() {
  static AppUtils::AddressShuffle shuffle;
  return shuffle;
}

std::optional<std::vector<std::string>>& echoUrlsHook() {
  static std::optional<std::vector<std::string>> urls;
  return urls;
}

AppUtils::CurrentIpRegistration& currentIpRegistrationHook() {
  static AppUtils::CurrentIpRegistration registration;
  return registration;
}

// Refreshes read and write "currentIp" and "previousIp" one at a time.
std::mutex& publicIpMutex() {
  static std::mutex mutex;
  return mutex;
}

bool isIPv4Address(const std::string& text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

void systemShuffle(std::vector<std::string>& ips) {
  std::random_device source;
  std::shuffle(ips.begin(), ips.end(), source);
}

// The wanted resolvers for one reading of the three switches.
std::vector<std::string> wantedServers(bool blocker, bool customBlacklist, bool fenwix) {
  const VrlUserDefault& settings = VrlUserDefault::shared();
  if (!blocker) return {};
  if (!customBlacklist) {
    // Only the three modes have resolvers; any other mode is as unavailable as a missing list.
    const int64_t mode = settings.blockerMode();
    if (mode < 0 || mode > 2) return {};
    return settings.getDnsPreferences(mode);
  }
  if (fenwix) return {AppUtils::kProxyAddress};
  return settings.customBlacklistDns();
}

// The last non-empty custom block list that DNS switching read in this process: the cloud may withdraw
// the list while the proxy serves, and a proxy that then fails needs somewhere to hand the Mac over.
std::mutex& lastCustomListMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::string>& lastCustomList() {
  static std::vector<std::string> list;
  return list;
}

// What takes the place of the proxy's address once the option is off and no custom list is stored:
// the last custom list seen, else the current mode's resolvers; never the proxy itself.
std::vector<std::string> resolversInPlaceOfTheProxy() {
  std::vector<std::string> servers;
  {
    std::lock_guard<std::mutex> lock(lastCustomListMutex());
    servers = lastCustomList();
  }
  if (servers.empty()) servers = wantedServers(true, false, false);
  servers.erase(std::remove(servers.begin(), servers.end(), AppUtils::kProxyAddress), servers.end());
  return servers;
}

std::vector<std::string> knownResolverAddresses() {
  const VrlUserDefault& settings = VrlUserDefault::shared();
  std::vector<std::string> known = settings.customBlacklistDns();
  for (int64_t mode = 0; mode <= 2; ++mode) {
    std::vector<std::string> list = settings.getDnsPreferences(mode);
    known.insert(known.end(), list.begin(), list.end());
  }
  known.push_back(AppUtils::kProxyAddress);
  return known;
}

}  // namespace

ShellResult AppUtils::shellResult(const std::string& commandLine) {
  platform::ProcessResult run = platform::runShell(commandLine);
  ShellResult result;
  result.status = run.status;
  if (isValidUtf8(run.output)) result.output = std::move(run.output);
  VRL_LOG_VERBOSE_AT(__FILE__, "shellResult(_:)", __LINE__, result.output);
  return result;
}

const platform::dispatch::QueuePtr& AppUtils::dnsTransitionQueue() {
  static const platform::dispatch::QueuePtr queue =
      platform::dispatch::Queue::serial(kDnsTransitionQueueLabel, platform::dispatch::QoS::Utility);
  return queue;
}

void AppUtils::setFenwixServiceCheck(FenwixServiceCheck check) {
  std::lock_guard<std::mutex> lock(hookMutex());
  fenwixServiceCheckHook() = std::move(check);
}

void AppUtils::forgetLastCustomBlacklistDnsForTesting() {
  std::lock_guard<std::mutex> lock(lastCustomListMutex());
  lastCustomList().clear();
}

void AppUtils::setAddressShuffle(AddressShuffle shuffle) {
  std::lock_guard<std::mutex> lock(hookMutex());
  addressShuffleHook() = std::move(shuffle);
}

std::vector<std::string> AppUtils::chooseAddresses(std::vector<std::string> ips) {
  if (ips.empty()) return {"empty"};
  if (ips.size() == 1) return ips;
  AddressShuffle shuffle;
  {
    std::lock_guard<std::mutex> lock(hookMutex());
    shuffle = addressShuffleHook();
  }
  if (shuffle) {
    shuffle(ips);
  } else {
    systemShuffle(ips);
  }
  ips.resize(2);
  return ips;
}

std::vector<std::string> AppUtils::serviceNames(const std::string& listing) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    if (end > start) names.push_back(listing.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::vector<std::string> AppUtils::dnsServersForCurrentState() {
  const VrlUserDefault& settings = VrlUserDefault::shared();
  const bool blocker = settings.blockerState();
  const bool customBlacklist = blocker && settings.customBlacklistState();
  const bool fenwix = customBlacklist && settings.fenwixInEffect();
  return wantedServers(blocker, customBlacklist, fenwix);
}

void AppUtils::setDns(bool force, bool clearDns, std::string functionCaller, std::string file, int line) {
  VRL_LOG_DEBUG_AT(__FILE__, kSetDnsFunction, __LINE__,
                   "Caller: " << functionCaller << " | " << file << " | " << line);
  const VrlUserDefault& settings = VrlUserDefault::shared();
  // Over settings that cannot be read the DNS follows what is held, which is never below what was in
  // force: nothing clears it, quitting included.
  if (auto readError = settings.preferences->readError(); readError && clearDns) {
    VRL_LOG_ERROR_AT(__FILE__, kSetDnsFunction, __LINE__,
                     "Settings cannot be read; leaving current DNS settings unchanged: " << *readError);
    return;
  }
  if (!settings.heldStateTold()) {
    VRL_LOG_ERROR_AT(__FILE__, kSetDnsFunction, __LINE__,
                     "Settings cannot be read and nothing read or in force tells what protection is; leaving "
                     "current DNS settings unchanged");
    return;
  }
  std::vector<std::string> wanted;
  if (!clearDns) {
    if (std::vector<std::string> custom = settings.customBlacklistDns(); !custom.empty()) {
      std::lock_guard<std::mutex> lock(lastCustomListMutex());
      lastCustomList() = std::move(custom);
    }
    const bool proxyChecked = settings.blockerState() && settings.customBlacklistState() && settings.fenwixInEffect();
    if (proxyChecked) {
      FenwixServiceCheck check;
      {
        std::lock_guard<std::mutex> lock(hookMutex());
        check = fenwixServiceCheckHook();
      }
      if (check) {
        check(false);
      } else {
        FenwixHelper::checkFenwixService(false);
      }
    }
    // One reading of the switches, taken after the proxy check, decides both the list and the guard.
    const bool blocker = settings.blockerState();
    const bool customBlacklist = blocker && settings.customBlacklistState();
    const bool fenwix = customBlacklist && settings.fenwixInEffect();
    wanted = wantedServers(blocker, customBlacklist, fenwix);
    // The option went off during the check (a proxy that failed, as a rule): left as it is, the Mac
    // would stay on the proxy's address, where nothing may answer any more.
    if (proxyChecked && customBlacklist && !fenwix && wanted.empty()) {
      wanted = resolversInPlaceOfTheProxy();
      std::string addresses;
      for (const std::string& address : wanted) addresses += " " + address;
      if (!wanted.empty())
        VRL_LOG_ERROR_AT(__FILE__, kSetDnsFunction, __LINE__,
                         "Custom block list DNS addresses are unavailable; the encrypted-DNS proxy's address gives "
                         "way to" << addresses);
    }
    // Protection on but nothing to point at: clearing would drop the filtering, so keep what is set.
    if (blocker && !fenwix && wanted.empty()) {
      if (customBlacklist) {
        VRL_LOG_ERROR_AT(__FILE__, kSetDnsFunction, __LINE__,
                         "Filtered fallback DNS addresses are unavailable; leaving current DNS settings unchanged");
      } else {
        VRL_LOG_ERROR_AT(__FILE__, kSetDnsFunction, __LINE__,
                         "DNS addresses of block mode " << settings.blockerMode()
                                                        << " are unavailable; leaving current DNS settings unchanged");
      }
      return;
    }
    if (settings.preferences->readError()) {
      // What is held is never off nor without a list: an empty list is one not known in this run.
      if (wanted.empty()) {
        VRL_LOG_ERROR_AT(__FILE__, kSetDnsFunction, __LINE__,
                         "Settings cannot be read and the DNS addresses of what is held are not known yet; leaving "
                         "current DNS settings unchanged");
        return;
      }
      // The DNS only follows what is held: what is in force already is not written again.
      force = false;
    }
  }
  if (!force && dnsAlreadyApplied(wanted)) return;
  applyDns(wanted);
}

// The addresses a command printed, one a line. Whole addresses only: 127.0.0.10 does not
// stand for 127.0.0.1.
static std::set<std::string> addressLines(const std::string& output) {
  std::set<std::string> addresses;
  for (const std::string& line : AppUtils::serviceNames(output)) {
    std::string address = trim(line);
    if (!address.empty()) addresses.insert(std::move(address));
  }
  return addresses;
}

// Whether the wanted list is what the resolvers in force amount to.
static bool listInForce(const std::vector<std::string>& ips, const std::set<std::string>& inForce) {
  if (!ips.empty()) {
    size_t found = 0;
    for (const std::string& ip : ips)
      if (inForce.count(ip)) ++found;
    return found >= 2 || found == ips.size();
  }
  for (const std::string& known : knownResolverAddresses())
    if (inForce.count(known)) return false;
  return true;
}

bool AppUtils::dnsAlreadyApplied(const std::vector<std::string>& ips) {
  return listInForce(ips, addressLines(shellResult(kResolverListCommand).output));
}

AppUtils::DnsInForce AppUtils::dnsInForce() {
  const std::vector<std::string> services = serviceNames(shellResult(kListServicesCommand).output);
  bool unknown = services.empty();
  std::set<std::string> servers;
  for (const std::string& service : services) {
    const ShellResult answer = shellResult("networksetup -getdnsservers " + platform::shellQuote(service));
    if (answer.status != 0 || answer.output.empty()) {
      unknown = true;
    } else if (lowercase(answer.output).find(lowercase(kClearVerifiedText)) == std::string::npos) {
      const std::set<std::string> own = addressLines(answer.output);
      servers.insert(own.begin(), own.end());
    }
  }
  DnsInForce result;
  result.protection = unknown || !servers.empty();
  result.proxy = servers.count(kProxyAddress) > 0;
  const VrlUserDefault& settings = VrlUserDefault::shared();
  const std::vector<std::string> custom = settings.customBlacklistDns();
  result.customBlacklist = !custom.empty() && listInForce(custom, servers);
  for (int64_t mode = 2; mode >= 0 && !result.mode; --mode) {
    const std::vector<std::string> list = settings.getDnsPreferences(mode);
    if (!list.empty() && listInForce(list, servers)) result.mode = mode;
  }
  return result;
}

void AppUtils::applyDns(const std::vector<std::string>& ips) {
  const std::vector<std::string> chosen = chooseAddresses(ips);
  const std::vector<std::string> services = serviceNames(shellResult(kListServicesCommand).output);
  if (services.empty()) {
    VRL_LOG_ERROR_AT(__FILE__, kApplyDnsFunction, __LINE__, "No network services were found while applying DNS settings");
    return;
  }
  std::string addressWords;
  for (const std::string& address : chosen) addressWords += " " + platform::shellQuote(address);

  for (const std::string& service : services) {
    const std::string quotedService = platform::shellQuote(service);
    ShellResult set = shellResult("networksetup -setdnsservers " + quotedService + addressWords);
    if (set.status != 0) {
      VRL_LOG_ERROR_AT(__FILE__, kApplyDnsFunction, __LINE__, "Could not set DNS for " << service << ": " << set.output);
      continue;
    }
    const std::string current = shellResult("networksetup -getdnsservers " + quotedService).output;
    if (ips.empty()) {
      if (lowercase(current).find(lowercase(kClearVerifiedText)) == std::string::npos) {
        VRL_LOG_ERROR_AT(__FILE__, kApplyDnsFunction, __LINE__,
                         "DNS clear could not be verified for " << service << ": " << current);
      }
      continue;
    }
    const std::set<std::string> written = addressLines(current);
    for (const std::string& address : chosen) {
      if (!written.count(address)) {
        VRL_LOG_ERROR_AT(__FILE__, kApplyDnsFunction, __LINE__,
                         "DNS change could not be verified for " << service << ": " << current);
        break;
      }
    }
  }
}

void AppUtils::disableIPV6() {
  const std::vector<std::string> services =
      serviceNames(shellResult("networksetup -listallnetworkservices | grep -v \"*\" ").output);
  for (const std::string& service : services) {
    // Runs whatever the log level; the name goes to the tool as one unchanged word.
    const std::string output = shellResult("networksetup -setv6off " + platform::shellQuote(service)).output;
    VRL_LOG_VERBOSE_AT(__FILE__, "disableIPV6()", __LINE__, output);
  }
}

// ---- public IP ----

std::vector<std::string> AppUtils::publicIpEchoUrls() {
  {
    std::lock_guard<std::mutex> lock(hookMutex());
    if (echoUrlsHook()) return *echoUrlsHook();
  }
  std::shared_ptr<DAVOptions> options;
  if (DAVApp::isDefaultAppConfigured()) {
    if (std::shared_ptr<DAVApp> app = DAVApp::defaultApp()) options = app->options();
  }
  if (!options) options = DAVOptions::defaultOptions();
  const std::vector<std::string> defaults = DAVOptions().publicIPEchoURLs();
  if (!options) return defaults;
  std::vector<std::string> urls = options->publicIPEchoURLs();
  if (urls.size() != defaults.size()) {
    VRL_LOG_ERROR_AT(__FILE__, "publicIpEchoUrls", __LINE__,
                     "PUBLIC_IP_ECHO_URLS lists " << urls.size() << " echo services instead of "
                                                  << defaults.size() << "; using the default services");
    return defaults;
  }
  return urls;
}

void AppUtils::setPublicIpEchoUrls(std::optional<std::vector<std::string>> urls) {
  std::lock_guard<std::mutex> lock(hookMutex());
  echoUrlsHook() = std::move(urls);
}

void AppUtils::setCurrentIpRegistration(CurrentIpRegistration registration) {
  std::lock_guard<std::mutex> lock(hookMutex());
  currentIpRegistrationHook() = std::move(registration);
}

void AppUtils::refreshPublicIp() {
  platform::dispatch::Queue::global(platform::dispatch::QoS::Utility)->async([] {
    if (const std::optional<std::string> address = getPublicIp()) storeAndRegisterPublicIp(*address);
  });
}

// Callers hold publicIpMutex.
static std::optional<std::string> storePublicIpInTurn(const std::string& address) {
  const VrlUserDefault& settings = VrlUserDefault::shared();
  std::optional<std::string> old = settings.currentIp();
  if (old && *old == address) return old;
  settings.preferences->set(keys::kPreviousIp, old ? platform::Value(*old) : platform::Value());
  settings.preferences->synchronize();
  settings.preferences->set(keys::kCurrentIp, address);
  settings.preferences->synchronize();
  return old;
}

std::optional<std::string> AppUtils::storePublicIp(const std::string& address) {
  std::lock_guard<std::mutex> lock(publicIpMutex());
  return storePublicIpInTurn(address);
}

void AppUtils::storeAndRegisterPublicIp(const std::string& address) {
  // One turn for both: a refresh that stored an older address can never register it after a newer one.
  std::lock_guard<std::mutex> lock(publicIpMutex());
  storePublicIpInTurn(address);
  const VrlUserDefault& settings = VrlUserDefault::shared();
  if (!(settings.blockerState() && settings.customBlacklistState() && !settings.fenwixInEffect())) return;
  CurrentIpRegistration registration;
  {
    std::lock_guard<std::mutex> hookLock(hookMutex());
    registration = currentIpRegistrationHook();
  }
  if (registration) registration(address);
}

std::optional<std::string> AppUtils::getPublicIp() {
  std::vector<std::string> answers;
  for (const std::string& url : publicIpEchoUrls())
    if (std::optional<std::string> answer = fetchPublicIp(url)) answers.push_back(std::move(*answer));
  if (answers.empty()) return std::nullopt;
  std::map<std::string, int> counts;
  std::optional<std::string> best;
  int bestCount = 0;
  for (const std::string& answer : answers) {
    const int count = ++counts[answer];
    if (count > bestCount) {
      best = answer;
      bestCount = count;
    }
  }
  return best;
}

std::optional<std::string> AppUtils::fetchPublicIp(const std::string& url) {
  platform::net::URLRequest request(url, 60.0);
  DataTaskResult result = synchronousDataTask(*platform::net::URLSession::shared(), request);
  if (result.error) {
    std::cout << "Synchronous task ended with error: " << result.error->description() << std::endl;
    return std::nullopt;
  }
  if (!result.data) {
    std::cout << "No IP data from " << url << std::endl;
    return std::nullopt;
  }
  if (!isValidUtf8(*result.data)) {
    std::cout << "returnData: nope" << std::endl;
    return std::nullopt;
  }
  // An error page or anything but an address is no answer, so it cannot outvote a real one.
  const std::string text = trim(*result.data);
  if (result.httpStatus < 200 || result.httpStatus > 299 || !isIPv4Address(text)) {
    std::cout << "No IP address from " << url << " (status " << result.httpStatus << ")" << std::endl;
    return std::nullopt;
  }
  return text;
}

std::string AppUtils::serviceCommand(const std::string& command) {
  return std::string("launchctl ") + command + " -w " + kServicePlistPath;
}

std::string AppUtils::restartServiceCommand() { return serviceCommand("unload") + " && " + serviceCommand("load"); }

void AppUtils::rebootService() {
  VRL_LOG_INFO_AT(__FILE__, "rebootService()", __LINE__, "reboot service");
  // Runs whatever the log level; its output is the trace.
  const std::string output = shellResult(restartServiceCommand()).output;
  VRL_LOG_VERBOSE_AT(__FILE__, "rebootService()", __LINE__, output);
}

}  // namespace vorellin
