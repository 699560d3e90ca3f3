// A guided tour of the running system, offscreen: the application (the same delegate and code as the
// Vorellin executable) on the simulated Mac, against the backend stand-in that the run command started.
// It works the window as a person would: types the e-mail and password into the sign-in form and
// clicks "Log in", switches protection on with the power button, lets the cloud change the mode's
// resolvers and the block mode, ticks the custom block list and the encrypted-DNS option in the menu,
// unticks the proxy and switches protection off, and quits. At every step it prints the simulated
// Mac's DNS and what a blocked and an allowed name resolve to through it, and saves a screenshot of
// the window. Each step checks that the Mac is as its title says; the first that is not ends the
// tour with status 1, after printing what it saw.
//
//   VRL_AUTH_PASSWORD=... vorellin_tour --backend http://127.0.0.1:PORT --admin-token-file FILE
//       --email EMAIL [--screenshots DIR] [--log FILE]
//
// The password comes from the environment only, never from the command line. With --log, what the
// application writes to standard error goes to FILE; the tour's own messages stay on the terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
               "       [--screenshots DIR] [--log FILE]\n";
  return 2;
}

// Where the tour's own messages go: the terminal, also when the application's output goes to a log.
FILE* terminal = stderr;

void tell(const std::string& message) {
  std::fputs(("tour: " + message + "\n").c_str(), terminal);
  std::fflush(terminal);
  if (terminal != stderr) std::cerr << "tour: " << message << std::endl;
}

// Sends standard error to the log file, keeping the terminal for tell().
bool divertStandardError(const std::string& path) {
  const int log = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int saved = ::dup(2);
  FILE* kept = saved < 0 ? nullptr : ::fdopen(saved, "w");
  if (log < 0 || !kept || ::dup2(log, 2) < 0) return false;
  ::close(log);
  ::fcntl(saved, F_SETFD, FD_CLOEXEC);
  terminal = kept;
  return true;
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
  // The answers, one a line; dig's own remarks (";; communications error ...") are no answer.
  std::string out;
  size_t start = 0;
  while (start < result.output.size()) {
    size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    const std::string line = result.output.substr(start, end - start);
    if (!line.empty() && line.rfind(";;", 0) != 0) out += (out.empty() ? "" : " ") + line;
    start = end + 1;
  }
  return out.empty() ? "(no answer)" : out;
}

std::vector<std::string> currentResolvers() {
  auto services = platform::SimulatedMac::readNetworkServices();
  if (!services || services->empty()) return {};
  return services->front().resolvers();
}

std::string join(const std::vector<std::string>& list) {
  std::string out;
  for (const auto& s : list) out += (out.empty() ? "" : " ") + s;
  return out.empty() ? "-" : out;
}

// How the DNS of the enabled network services differs from `wanted`: servers drawn from that list
// (two at most, in any order, as DNS switching picks them), or automatic when it is empty.
std::vector<std::string> dnsDifferences(const std::vector<std::string>& wanted) {
  auto services = platform::SimulatedMac::readNetworkServices();
  if (!services || services->empty()) return {"the simulated Mac has no network services"};
  std::vector<std::string> out;
  for (const auto& s : *services) {
    if (!s.enabled) continue;
    bool fits = s.dnsServers.size() == std::min<size_t>(wanted.size(), 2);
    for (const auto& server : s.dnsServers)
      fits = fits && std::find(wanted.begin(), wanted.end(), server) != wanted.end();
    if (fits) continue;
    out.push_back("DNS of " + s.name + " is " + (s.dnsServers.empty() ? "automatic" : join(s.dnsServers)) +
                  ", announced: " + (wanted.empty() ? "automatic" : "from " + join(wanted)));
  }
  return out;
}

// A name looked up in a step, and whether the step says the resolver blocks it.
struct Lookup {
  std::string name;
  bool blocked;
};

// Blocked names are answered 0.0.0.0; any other name must get addresses, none of them 0.0.0.0.
bool answerFits(const std::string& answer, bool blocked) {
  if (blocked) return answer == "0.0.0.0";
  size_t start = 0;
  bool any = false;
  while (start < answer.size()) {
    size_t end = answer.find(' ', start);
    if (end == std::string::npos) end = answer.size();
    const std::string word = answer.substr(start, end - start);
    if (!isAddress(word) || word == "0.0.0.0") return false;
    any = true;
    start = end + 1;
  }
  return any;
}

// What a step says of the Mac: the DNS of its services (empty: automatic), how names resolve through
// it, and anything else its title claims, with whether it came about.
struct Announced {
  std::vector<std::string> dns;
  std::vector<Lookup> lookups;
  std::vector<std::pair<std::string, bool>> facts;
};

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

  // Prints the Mac as it is now; false, with each difference printed, when it is not as announced.
  bool step(const std::string& title, const Announced& announced) {
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
    std::vector<std::string> differences = dnsDifferences(announced.dns);
    const std::vector<std::string> resolvers = currentResolvers();
    const std::string server = resolvers.empty() ? "" : resolvers.front();
    for (const auto& lookup : announced.lookups) {
      const std::string answer = resolve(server, lookup.name);
      std::cout << "   dig @" << server << " " << lookup.name << " -> " << answer << "\n";
      if (!answerFits(answer, lookup.blocked))
        differences.push_back(lookup.name + " through " + server + " is " + answer + ", announced: " +
                              (lookup.blocked ? "blocked (0.0.0.0)" : "its address"));
    }
    for (const auto& [fact, held] : announced.facts)
      if (!held) differences.push_back("not so: " + fact);
    if (auto path = screenshot(number_, title)) pending_.push_back(*path);
    for (const auto& path : pending_) std::cout << "   screenshot: " << path << "\n";
    pending_.clear();
    for (const auto& difference : differences) std::cout << "   NOT AS ANNOUNCED: " << difference << "\n";
    std::cout.flush();
    return differences.empty();
  }

  int number() const { return number_; }

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
  std::string backend, email, screenshots, tokenFile, logFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--backend") backend = argv[i + 1];
    else if (flag == "--email") email = argv[i + 1];
    else if (flag == "--screenshots") screenshots = argv[i + 1];
    else if (flag == "--admin-token-file") tokenFile = argv[i + 1];
    else if (flag == "--log") logFile = argv[i + 1];
    else return usage();
  }
  const char* password = std::getenv("VRL_AUTH_PASSWORD");
  if (backend.empty() || email.empty() || tokenFile.empty() || !password || argc % 2 == 0) return usage();
  if (!logFile.empty() && !divertStandardError(logFile)) {
    std::cerr << "tour: cannot write the log " << logFile << "\n";
    return 1;
  }
  std::string adminToken;
  if (!(std::ifstream(tokenFile) >> adminToken)) {
    tell("cannot read the admin token from " + tokenFile);
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
  // Ends the tour with status 1; the application quits as it always does (it clears the DNS).
  auto stop = [&](const std::string& why) {
    tour.printAlerts();
    std::cout.flush();
    tell(why + (logFile.empty() ? "" : " (application log: " + logFile + ")"));
    Application::shared().setExitStatus(1);
    Application::shared().terminate(nullptr);
    return 1;
  };
  auto check = [&](const std::string& title, const Announced& announced) {
    if (tour.step(title, announced)) return true;
    stop("step " + std::to_string(tour.number()) + " did not come about as announced; what it saw is above");
    return false;
  };
  const std::vector<std::string> automatic;
  if (!check("Before: the simulated Mac as it was", {automatic, {{kBlockedName, false}, {kAllowedName, false}}, {}}))
    return 1;

  auto controller = platform::appkit::launchApplication([] { return std::make_shared<vorellin::AppDelegate>(); });
  if (!controller || Application::shared().isTerminated()) return stop("the application quit at start (is its service registered?)");
  controller->showWindow();
  tour.setWindow(controller->window());

  // The sign-in form: the e-mail and the password typed into its fields, then "Log in".
  std::shared_ptr<vorellin::Login> login;
  if (!settle([&] { return (login = content<vorellin::Login>(controller)) != nullptr; }))
    return stop("the sign-in form did not come");
  login->inputEmail->setStringValue(email);
  (login->passwordRevealState ? login->inputPasswordNormal : login->inputPasswordField)->setStringValue(password);
  tour.snapshot("Before log in: the form filled in");
  const size_t alertsBefore = alerts->count();
  login->btnLoginOutlet->performClick();
  std::shared_ptr<vorellin::Main> main;
  settle([&] { return (main = content<vorellin::Main>(controller)) != nullptr || alerts->count() > alertsBefore; });
  if (!main) return stop("the sign-in did not reach the main window");
  const std::string uid = DAVAuth::auth()->currentUser()->uid().value_or("");
  const bool copied = settle([] { return VrlUserDefault::shared().preferences->hasKey(keys::kUltraExtreme); });
  if (!check("Signed in as " + email + ": the cloud settings are copied, protection is still off",
             {automatic, {{kBlockedName, false}, {kAllowedName, false}}, {{"the cloud settings are copied", copied}}}))
    return 1;

  auto dnsFrom = [](const std::vector<std::string>& wanted) {
    return [wanted] { return dnsDifferences(wanted).empty(); };
  };
  const std::vector<std::string> normal = VrlUserDefault::shared().getDnsPreferences(0);
  click(main->btnVRLOutlet);
  settle(dnsFrom(normal));
  if (!check("Protection on, normal mode: the normal resolvers block their list",
             {normal, {{kBlockedName, true}, {kExtremeName, false}, {kAllowedName, false}}, {}}))
    return 1;

  const std::vector<std::string> stricter = VrlUserDefault::shared().getDnsPreferences(1);
  const bool patched = tour.patch("dnsServers/blockModes", {{"normal", {{"ipv4", stricter}}}});
  settle(dnsFrom(stricter));
  if (!check("The cloud gives the normal mode stricter resolvers: they reach networksetup at once",
             {stricter, {{kBlockedName, true}, {kExtremeName, true}, {kAllowedName, false}},
              {{"the cloud took the change", patched}}}))
    return 1;

  // Switching protection on looked up the public address; the custom block list registers it.
  settle([] { return VrlUserDefault::shared().currentIp().has_value(); });
  click(main->btnMenuOutlet);
  click(main->customBlacklistMode);
  settle([] { return VrlUserDefault::shared().customBlacklistState() &&
                     dnsDifferences(VrlUserDefault::shared().customBlacklistDns()).empty(); });
  const bool registered = settle([&] {
    nlohmann::json doc = tour.get("customBlacklist/" + uid);
    return doc.is_object() && doc["fields"]["latestIpAddress"].is_array() && !doc["fields"]["latestIpAddress"].empty();
  });
  tour.patch("customBlacklist/" + uid, {{"blockMode", 2}});
  settle([] { return VrlUserDefault::shared().blockerMode() == 2; });
  // The open menu shows the settings of the moment it was opened: back and in again for the cloud's mode.
  click(main->btnMenuBackOutlet);
  click(main->btnMenuOutlet);
  const std::vector<std::string> custom = VrlUserDefault::shared().customBlacklistDns();
  if (!check("Custom block list on: its resolvers block the user's own list; the public IP is registered",
             {custom, {{kListedName, true}, {kAllowedName, false}},
              {{"the custom block list is on", VrlUserDefault::shared().customBlacklistState()},
               {"the public IP is registered in the cloud", registered}}}))
    return 1;
  const nlohmann::json record = tour.get("customBlacklist/" + uid);
  if (record.is_object()) {
    std::cout << "   cloud record customBlacklist/" << uid << ": latestIpAddress "
              << record["fields"]["latestIpAddress"].dump() << ", blockMode " << record["fields"]["blockMode"].dump()
              << " (set in the cloud; BlockerMode here: " << VrlUserDefault::shared().blockerMode() << ")\n";
  }

  const std::vector<std::string> proxy{AppUtils::kProxyAddress};
  click(main->fenwixMode);
  settle([&] { return dnsDifferences(proxy).empty() || !VrlUserDefault::shared().fenwixState(); }, 40000);
  // A proxy that does not answer makes the application give the option up: the step did not come about.
  if (!check("Encrypted DNS on: the local proxy answers on 127.0.0.1 over HTTPS upstream",
             {proxy, {{kListedName, true}, {kAllowedName, false}},
              {{"the encrypted-DNS option stayed on", VrlUserDefault::shared().fenwixState()}}}))
    return 1;

  click(main->fenwixMode);
  click(main->btnMenuBackOutlet);
  click(main->btnVRLOutlet);
  // The proxy service goes, as uninstalling the application removes it.
  if (auto uninstall = vorellin::FenwixHelper::proxyCommandLine(vorellin::FenwixHelper::kServiceUninstall))
    vorellin::FenwixHelper::runRootCommands({*uninstall});
  settle(dnsFrom(automatic));
  if (!check("Protection off: the DNS is automatic again", {automatic, {{kBlockedName, false}, {kAllowedName, false}}, {}}))
    return 1;

  Application::shared().terminate(nullptr);
  return 0;
}
