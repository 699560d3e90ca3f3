// A guided tour of the running system, offscreen: the application (the same delegate and code as the
// Vorellin executable) on the simulated Mac, against the backend stand-in that the run command started.
// It works the window as a person would: types the e-mail and password into the sign-in form and
// clicks "Log in", switches protection on with the power button, lets the cloud change the mode's
// resolvers and the block mode, ticks the custom block list and the encrypted-DNS option in the menu,
// unticks the proxy and switches protection off, and quits. At every step it prints the simulated
// Mac's DNS and what a blocked and an allowed name resolve to through it, and saves a screenshot of
// the window.
//
//   VRL_AUTH_PASSWORD=... vorellin_tour --backend http://127.0.0.1:PORT --email EMAIL --screenshots DIR
//
// The password comes from the environment only, never from the command line.
#include <arpa/inet.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Vorellin/AppClasses.h"
#include "Vorellin/AppDelegate.h"
#include "Vorellin/AppUtils.h"
#include "Vorellin/Login.h"
#include "Vorellin/Main.h"
#include "Vorellin/VrlUserDefault.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/View.h"
#include "platform/appkit/ViewController.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/WindowController.h"
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
  std::cerr << "usage: VRL_AUTH_PASSWORD=... vorellin_tour --backend URL --admin-token-file FILE --email EMAIL\n"
               "       [--screenshots DIR]\n";
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


// Lets the window lay out and paint what the last click changed.
void idle(int ms = 50) { Application::shared().runUntil([] { return false; }, std::chrono::milliseconds(ms)); }

// A click on a control of the window, as a person makes it; the DNS request it queued has run after.
void click(const std::shared_ptr<platform::appkit::Button>& button) {
  button->performClick();
  AppUtils::dnsTransitionQueue()->sync([] {});
  idle();
}

class Tour {
 public:
  Tour(std::string backend, const std::string& adminToken, std::string screenshots,
       std::shared_ptr<platform::appkit::RecordingAlertPresenter> alerts)
      : admin_(backend), screenshots_(std::move(screenshots)), alerts_(std::move(alerts)) {
    admin_.set_bearer_token_auth(adminToken);
  }

  void setWindow(const std::shared_ptr<platform::appkit::Window>& window) { window_ = window; }

  // A screenshot taken now and listed with the next step.
  void snapshot(const std::string& title) {
    if (auto path = screenshot(number_ + 1, title)) pending_.push_back(*path);
  }

  void step(const std::string& title, const std::vector<std::string>& names) {
    printAlerts();
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
    if (auto path = screenshot(number_, title)) pending_.push_back(*path);
    for (const auto& path : pending_) std::cout << "   screenshot: " << path << "\n";
    pending_.clear();
    std::cout.flush();
  }

  // Alerts are answered by the recording presenter; what they said is printed once.
  void printAlerts() {
    auto all = alerts_->alerts();
    for (; alertsShown_ < all.size(); ++alertsShown_) std::cout << "   alert: " << all[alertsShown_].messageText << "\n";
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

  std::optional<std::string> screenshot(int number, const std::string& title) {
    if (screenshots_.empty() || !window_ || !window_->isVisible()) return std::nullopt;
    // A view that has just come fades in: the picture waits for it to be whole.
    settle([this] {
      auto content = window_->contentViewController();
      return !content || content->view()->alphaValue() >= 1.0;
    }, 2000);
    idle();
    std::string file = std::to_string(number) + "-";
    for (char c : title) file += std::isalnum(static_cast<unsigned char>(c)) ? char(std::tolower(c)) : '-';
    const std::string path = screenshots_ + "/" + file.substr(0, 48) + ".png";
    if (!window_->saveScreenshot(path)) return std::nullopt;
    return path;
  }

  httplib::Client admin_;
  std::string screenshots_;
  std::shared_ptr<platform::appkit::RecordingAlertPresenter> alerts_;
  size_t alertsShown_ = 0;
  std::shared_ptr<platform::appkit::Window> window_;
  std::vector<std::string> pending_;
  int number_ = 0;
};

template <typename T>
std::shared_ptr<T> content(const std::shared_ptr<platform::appkit::WindowController>& controller) {
  auto window = controller->window();
  return window ? std::dynamic_pointer_cast<T>(window->contentViewController()) : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::string backend, email, screenshots, tokenFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--backend") backend = argv[i + 1];
    else if (flag == "--email") email = argv[i + 1];
    else if (flag == "--screenshots") screenshots = argv[i + 1];
    else if (flag == "--admin-token-file") tokenFile = argv[i + 1];
    else return usage();
  }
  const char* password = std::getenv("VRL_AUTH_PASSWORD");
  if (backend.empty() || email.empty() || tokenFile.empty() || !password || argc % 2 == 0) return usage();
  std::string adminToken;
  if (!(std::ifstream(tokenFile) >> adminToken)) {
    std::cerr << "tour: cannot read the admin token from " << tokenFile << "\n";
    return 1;
  }
  if (!screenshots.empty()) std::filesystem::create_directories(screenshots);

  // The SDK's parts register as the program loads.
  DAVAuth::load();
  DAVVerorariv::load();
  vorellin::registerApplicationClasses();
  // Alerts are answered and printed rather than waited for: nobody is at the keyboard.
  auto alerts = std::make_shared<platform::appkit::RecordingAlertPresenter>();
  platform::appkit::AlertPresenter::setShared(alerts);

  Tour tour(backend, adminToken, screenshots, alerts);
  tour.step("Before: the simulated Mac as it was", {kBlockedName, kAllowedName});

  auto controller = platform::appkit::launchApplication([] { return std::make_shared<vorellin::AppDelegate>(); });
  if (!controller || Application::shared().isTerminated()) {
    std::cerr << "tour: the application quit at start (is its service registered?)\n";
    return 1;
  }
  controller->showWindow();
  tour.setWindow(controller->window());

  // The sign-in form: the e-mail and the password typed into its fields, then "Log in".
  std::shared_ptr<vorellin::Login> login;
  if (!settle([&] { return (login = content<vorellin::Login>(controller)) != nullptr; })) {
    std::cerr << "tour: the sign-in form did not come\n";
    return 1;
  }
  login->inputEmail->setStringValue(email);
  (login->passwordRevealState ? login->inputPasswordNormal : login->inputPasswordField)->setStringValue(password);
  tour.snapshot("Before log in: the form filled in");
  const size_t alertsBefore = alerts->count();
  login->btnLoginOutlet->performClick();
  std::shared_ptr<vorellin::Main> main;
  settle([&] { return (main = content<vorellin::Main>(controller)) != nullptr || alerts->count() > alertsBefore; });
  if (!main) {
    tour.printAlerts();
    std::cerr << "tour: the sign-in did not reach the main window\n";
    return 1;
  }
  const std::string uid = DAVAuth::auth()->currentUser()->uid().value_or("");
  settle([] { return VrlUserDefault::shared().preferences->hasKey(keys::kUltraExtreme); });
  tour.step("Signed in as " + email + ": the cloud settings are copied, protection is still off",
            {kBlockedName, kAllowedName});

  auto resolversAre = [](const std::vector<std::string>& wanted) {
    return [wanted] { return currentResolvers() == wanted; };
  };
  const std::vector<std::string> normal = VrlUserDefault::shared().getDnsPreferences(0);
  click(main->btnVRLOutlet);
  settle(resolversAre(normal));
  tour.step("Protection on, normal mode: the normal resolvers block their list", {kBlockedName, kExtremeName, kAllowedName});

  const std::vector<std::string> stricter = VrlUserDefault::shared().getDnsPreferences(1);
  tour.patch("dnsServers/blockModes", {{"normal", {{"ipv4", stricter}}}});
  settle(resolversAre(stricter));
  tour.step("The cloud gives the normal mode stricter resolvers: they reach networksetup at once",
            {kBlockedName, kExtremeName, kAllowedName});

  // Switching protection on looked up the public address; the custom block list registers it.
  settle([] { return VrlUserDefault::shared().currentIp().has_value(); });
  click(main->btnMenuOutlet);
  click(main->customBlacklistMode);
  settle([] { return VrlUserDefault::shared().customBlacklistState() &&
                     currentResolvers() == VrlUserDefault::shared().customBlacklistDns(); });
  settle([&] {
    nlohmann::json doc = tour.get("customBlacklist/" + uid);
    return doc.is_object() && doc["fields"]["latestIpAddress"].is_array() && !doc["fields"]["latestIpAddress"].empty();
  });
  tour.patch("customBlacklist/" + uid, {{"blockMode", 2}});
  settle([] { return VrlUserDefault::shared().blockerMode() == 2; });
  // The open menu shows the settings of the moment it was opened: back and in again for the cloud's mode.
  click(main->btnMenuBackOutlet);
  click(main->btnMenuOutlet);
  tour.step("Custom block list on: its resolvers block the user's own list; the public IP is registered",
            {kListedName, kAllowedName});
  const nlohmann::json record = tour.get("customBlacklist/" + uid);
  if (record.is_object()) {
    std::cout << "   cloud record customBlacklist/" << uid << ": latestIpAddress "
              << record["fields"]["latestIpAddress"].dump() << ", blockMode " << record["fields"]["blockMode"].dump()
              << " (set in the cloud; BlockerMode here: " << VrlUserDefault::shared().blockerMode() << ")\n";
  }

  click(main->fenwixMode);
  settle([] { return currentResolvers() == std::vector<std::string>{AppUtils::kProxyAddress} ||
                     !VrlUserDefault::shared().fenwixState(); },
         40000);
  tour.step(VrlUserDefault::shared().fenwixState()
                ? "Encrypted DNS on: the local proxy answers on 127.0.0.1 over HTTPS upstream"
                : "Encrypted DNS asked for: the proxy did not answer, so the custom block list's resolvers stay",
            {kListedName, kAllowedName});

  if (VrlUserDefault::shared().fenwixState()) click(main->fenwixMode);
  click(main->btnMenuBackOutlet);
  click(main->btnVRLOutlet);
  // The proxy service goes, as uninstalling the application removes it.
  if (auto uninstall = vorellin::FenwixHelper::proxyCommandLine(vorellin::FenwixHelper::kServiceUninstall))
    vorellin::FenwixHelper::runRootCommands({*uninstall});
  settle([] { return platform::SimulatedMac::networkService("Wi-Fi") &&
                     platform::SimulatedMac::networkService("Wi-Fi")->dnsServers.empty(); });
  tour.step("Protection off: the DNS is automatic again", {kBlockedName, kAllowedName});

  Application::shared().terminate(nullptr);
  return 0;
}
