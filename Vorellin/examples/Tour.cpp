// A guided tour of the running system, offscreen: the application (the same delegate and code as the
// Vorellin executable) on the simulated Mac, against the backend stand-in that the run command started.
// It signs in, switches protection on, lets the cloud change the mode's resolvers and the block mode,
// turns on the custom block list and the encrypted-DNS option, switches protection off and quits. At
// every step it prints the simulated Mac's DNS and what a blocked and an allowed name resolve to through
// it, and saves a screenshot of the main window.
//
//   VRL_AUTH_PASSWORD=... vorellin_tour --backend http://127.0.0.1:PORT --email EMAIL --screenshots DIR
//
// The password comes from the environment only, never from the command line.
#include <arpa/inet.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Vorellin/AppClasses.h"
#include "Vorellin/AppDelegate.h"
#include "Vorellin/AppUtils.h"
#include "Vorellin/CloudCollections.h"
#include "Vorellin/VrlUserDefault.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVUser.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Window.h"
#include "platform/net/URLRequest.h"
#include "platform/process/Process.h"
#include "platform/tools/SimulatedMac.h"

namespace {

using platform::appkit::Application;
using vorellin::AppUtils;
using vorellin::VrlUserDefault;
namespace keys = vorellin::keys;

constexpr const char* kBlockedName = "blocked.vorellin.test";
constexpr const char* kExtremeName = "games.vorellin.test";
constexpr const char* kListedName = "social.vorellin.test";
constexpr const char* kAllowedName = "www.vorellin.test";

int usage() {
  std::cerr << "usage: VRL_AUTH_PASSWORD=... vorellin_tour --backend URL --email EMAIL --screenshots DIR\n";
  return 2;
}

bool isAddress(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// What dig finds for a name through one resolver; the address is checked before it goes near a shell.
std::string resolve(const std::string& server, const std::string& name) {
  if (!isAddress(server)) return "(no resolver)";
  // Only resolvers on this machine are asked: the tour sends nothing out.
  if (server.rfind("127.", 0) != 0 && server != "::1") return "(not asked: " + server + " is not on this machine)";
  const auto result = platform::runShell("dig +short +tries=1 +time=2 @" + platform::shellQuote(server) + " " +
                                         platform::shellQuote(name));
  std::string out = result.output;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  for (char& c : out)
    if (c == '\n') c = ' ';
  return out.empty() ? "(no answer)" : out;
}

std::vector<std::string> currentResolvers() {
  auto services = platform::SimulatedMac::readNetworkServices();
  if (!services || services->empty()) return {};
  return services->front().resolvers();
}

// Lets the listeners and the DNS-transition queue run until pred holds (or a while has passed).
bool settle(const std::function<bool()>& pred, int ms = 15000) {
  return Application::shared().runUntil(
      [&] {
        AppUtils::dnsTransitionQueue()->sync([] {});
        return pred();
      },
      std::chrono::milliseconds(ms));
}

class Tour {
 public:
  Tour(std::string backend, std::string screenshots) : admin_(backend), screenshots_(std::move(screenshots)) {}

  void step(const std::string& title, const std::vector<std::string>& names) {
    ++number_;
    std::cout << "\n== " << number_ << ". " << title << "\n";
    if (auto services = platform::SimulatedMac::readNetworkServices()) {
      for (const auto& s : *services) {
        std::cout << "   DNS of " << s.name << ": ";
        if (s.dnsServers.empty()) std::cout << "automatic, from the network (" << join(s.dhcpDnsServers) << ")";
        else std::cout << join(s.dnsServers);
        std::cout << "\n";
      }
    }
    const std::vector<std::string> resolvers = currentResolvers();
    const std::string server = resolvers.empty() ? "" : resolvers.front();
    for (const auto& name : names) std::cout << "   dig @" << server << " " << name << " -> " << resolve(server, name) << "\n";
    screenshot(title);
    std::cout.flush();
  }

  bool patch(const std::string& path, const nlohmann::json& fields) {
    auto reply = admin_.Patch(("/admin/v1/documents/" + path).c_str(), fields.dump(), "application/json");
    return reply && reply->status == 200;
  }
  nlohmann::json get(const std::string& path) {
    auto reply = admin_.Get(("/admin/v1/documents/" + path).c_str());
    if (!reply || reply->status != 200) return nullptr;
    return nlohmann::json::parse(reply->body, nullptr, false);
  }

 private:
  static std::string join(const std::vector<std::string>& list) {
    std::string out;
    for (const auto& s : list) out += (out.empty() ? "" : " ") + s;
    return out.empty() ? "-" : out;
  }

  void screenshot(const std::string& title) {
    if (screenshots_.empty()) return;
    for (const auto& window : Application::shared().windows()) {
      if (!window->isVisible()) continue;
      std::string file = std::to_string(number_) + "-";
      for (char c : title) file += std::isalnum(static_cast<unsigned char>(c)) ? char(std::tolower(c)) : '-';
      const std::string path = screenshots_ + "/" + file.substr(0, 48) + ".png";
      if (window->saveScreenshot(path)) std::cout << "   screenshot: " << path << "\n";
      return;
    }
  }

  httplib::Client admin_;
  std::string screenshots_;
  int number_ = 0;
};

// A user action of the main window: the setting changes, is written, and DNS is requested.
void userAction(const char* key, bool on, const char* caller) {
  auto store = VrlUserDefault::shared().preferences;
  store->set(key, on);
  store->synchronize();
  std::string name = caller;
  AppUtils::dnsTransitionQueue()->async([name] { AppUtils::setDns(true, false, name, __FILE__, __LINE__); });
}

}  // namespace

int main(int argc, char** argv) {
  std::string backend, email, screenshots;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--backend") backend = argv[i + 1];
    else if (flag == "--email") email = argv[i + 1];
    else if (flag == "--screenshots") screenshots = argv[i + 1];
    else return usage();
  }
  const char* password = std::getenv("VRL_AUTH_PASSWORD");
  if (backend.empty() || email.empty() || !password || argc % 2 == 0) return usage();
  if (!screenshots.empty()) std::filesystem::create_directories(screenshots);

  // The SDK's parts register as the program loads; the stand-in speaks plain HTTP on loopback.
  DAVAuth::load();
  DAVVerorariv::load();
  platform::net::setAllowsInsecureLoopbackHTTP(true);
  vorellin::registerApplicationClasses();
  // Alerts are answered and printed rather than waited for: nobody is at the keyboard.
  auto alerts = std::make_shared<platform::appkit::RecordingAlertPresenter>();
  platform::appkit::AlertPresenter::setShared(alerts);
  size_t alertsShown = 0;
  auto printAlerts = [&] {
    auto all = alerts->alerts();
    for (; alertsShown < all.size(); ++alertsShown) std::cout << "   alert: " << all[alertsShown].messageText << "\n";
  };

  Tour tour(backend, screenshots);
  tour.step("Before: the simulated Mac as it was", {kBlockedName, kAllowedName});

  platform::appkit::launchApplication([] { return std::make_shared<vorellin::AppDelegate>(); });
  if (Application::shared().isTerminated()) {
    std::cerr << "tour: the application quit at start (is its service registered?)\n";
    return 1;
  }
  bool signedIn = false;
  platform::ErrorPtr signInError;
  DAVAuth::auth()->signInWithEmail(email, password, [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) {
    signInError = e;
    signedIn = true;
  });
  if (!settle([&] { return signedIn; }) || signInError) {
    std::cerr << "tour: sign-in failed: " << (signInError ? signInError->description() : "no answer") << "\n";
    return 1;
  }
  const std::string uid = DAVAuth::auth()->currentUser()->uid().value_or("");
  vorellin::CloudCollections::shared().listenAllChanges();  // as the main window does after a sign-in
  AppUtils::showMainWindow();
  settle([] { return VrlUserDefault::shared().preferences->hasKey(keys::kUltraExtreme); });
  tour.step("Signed in as " + email + ": the cloud settings are copied, protection is still off",
            {kBlockedName, kAllowedName});

  auto resolversAre = [](const std::vector<std::string>& wanted) {
    return [wanted] { return currentResolvers() == wanted; };
  };
  const std::vector<std::string> normal = VrlUserDefault::shared().getDnsPreferences(0);
  userAction(keys::kBlockerState, true, "btnVRL(_:)");
  settle(resolversAre(normal));
  tour.step("Protection on, normal mode: the normal resolvers block their list", {kBlockedName, kExtremeName, kAllowedName});

  const std::vector<std::string> stricter = VrlUserDefault::shared().getDnsPreferences(1);
  tour.patch("dnsServers/blockModes", {{"normal", {{"ipv4", stricter}}}});
  settle(resolversAre(stricter));
  tour.step("The cloud gives the normal mode stricter resolvers: they reach networksetup at once",
            {kBlockedName, kExtremeName, kAllowedName});

  userAction(keys::kCustomBlacklist, true, "customBlacklistClick(_:)");
  AppUtils::refreshPublicIp();
  settle(resolversAre(VrlUserDefault::shared().customBlacklistDns()));
  settle([&] {
    nlohmann::json doc = tour.get("customBlacklist/" + uid);
    return doc.is_object() && doc["fields"]["latestIpAddress"].is_array() && !doc["fields"]["latestIpAddress"].empty();
  });
  tour.patch("customBlacklist/" + uid, {{"blockMode", 2}});
  settle([] { return VrlUserDefault::shared().blockerMode() == 2; });
  tour.step("Custom block list on: its resolvers block the user's own list; the public IP is registered",
            {kListedName, kAllowedName});
  const nlohmann::json record = tour.get("customBlacklist/" + uid);
  if (record.is_object()) {
    std::cout << "   cloud record customBlacklist/" << uid << ": latestIpAddress "
              << record["fields"]["latestIpAddress"].dump() << ", blockMode " << record["fields"]["blockMode"].dump()
              << " (set in the cloud; BlockerMode here: " << VrlUserDefault::shared().blockerMode() << ")\n";
  }

  userAction(keys::kFenwixState, true, "fenwixClick(_:)");
  settle([] { return currentResolvers() == std::vector<std::string>{AppUtils::kProxyAddress} ||
                     !VrlUserDefault::shared().fenwixState(); },
         40000);
  printAlerts();
  tour.step(VrlUserDefault::shared().fenwixState()
                ? "Encrypted DNS on: the local proxy answers on 127.0.0.1 over HTTPS upstream"
                : "Encrypted DNS asked for: the proxy did not answer, so the custom block list's resolvers stay",
            {kListedName, kAllowedName});

  userAction(keys::kFenwixState, false, "fenwixClick(_:)");
  userAction(keys::kBlockerState, false, "btnVRL(_:)");
  // The proxy service goes, as uninstalling the application removes it.
  AppUtils::dnsTransitionQueue()->sync([] {});
  if (auto uninstall = vorellin::FenwixHelper::proxyCommandLine(vorellin::FenwixHelper::kServiceUninstall))
    vorellin::FenwixHelper::runRootCommands({*uninstall});
  settle([] { return platform::SimulatedMac::networkService("Wi-Fi") &&
                     platform::SimulatedMac::networkService("Wi-Fi")->dnsServers.empty(); });
  tour.step("Protection off: the DNS is automatic again", {kBlockedName, kAllowedName});

  Application::shared().terminate(nullptr);
  return 0;
}
