// The encrypted-DNS proxy helper: the proxy's configuration file, its supervision with fallback to the
// plain custom-block-list resolvers, the one road for commands that need administrator rights, and the
// command lines of the proxy executable.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorellin {

class FenwixHelper {
 public:
  static constexpr const char* kServiceInstall = " -service install";
  static constexpr const char* kServiceStart = " -service start";
  static constexpr const char* kServiceRestart = " -service restart";
  static constexpr const char* kServiceUninstall = " -service uninstall";

  // Joins the lines with " && " and runs them under one administrator prompt. True when the script ran
  // and gave a result, or when there was nothing to run; false when it could not be built, failed or was
  // refused. Blocks for as long as the prompt and the commands take.
  static bool runRootCommands(const std::vector<std::string>& commands);

  // The proxy executable inside the application's resources; worked out once. nullopt (with an error
  // line) when there is no main bundle: a bare name would be looked up on PATH.
  static std::optional<std::string> executablePath();
  // The executable path as one single-quoted shell word followed by a suffix such as kServiceStart.
  static std::string proxyCommandLine(const std::string& executablePath, const std::string& suffix);
  // The same for the bundle's executable; nullopt without a main bundle.
  static std::optional<std::string> proxyCommandLine(const std::string& suffix);

  // ---- configuration ----
  static constexpr const char* kBaseConfigName = "original-config";
  static constexpr const char* kBaseConfigType = "data";
  static constexpr const char* kLiveConfigName = "dnscrypt-proxy";
  static constexpr const char* kLiveConfigType = "toml";

  // "sdns://" + the DNS-over-HTTPS stamp record in base64url without padding. nullopt (with an error
  // log) when host or path is longer than the record's one-byte lengths allow.
  static std::optional<std::string> makeDnsStamp(const std::string& url, const std::string& path);
  // Rewrites dnscrypt-proxy.toml beside the base configuration with the first two resolvers of
  // "fenwixDnsUrls", each stamped with "/" + the signed-in user's id. The file is replaced whole
  // (temporary file, then rename), and writers run one at a time.
  static void writeFenwixConfig();
  static void deleteConfigFile();
  // The live configuration's path in the main bundle's resources (whether it exists or not); nullopt
  // (with an error line) when there is no main bundle.
  static std::optional<std::string> configFilePath();

  // Where the signed-in user's id comes from; nullopt: nobody is signed in. Unset (the running
  // program): the current user of the default app's authentication client. Tests may replace it.
  using UserIdProvider = std::function<std::optional<std::string>()>;
  static void setUserIdProvider(UserIdProvider provider);

  // ---- supervision ----
  static constexpr const char* serviceName = "VRLFenwixService";
  static constexpr const char* launchDaemonPlistPath = "/Library/LaunchDaemons/dnscrypt-proxy.plist";
  static constexpr const char* kProcessCountCommand = "ps aux | grep -v grep | grep -c -i VRLFenwixService";
  static constexpr const char* kHealthTestDomain = "example.com";
  static constexpr const char* kUnavailableMessage = "FENWIX is unavailable";
  static constexpr const char* kUnavailableInformative =
      "Vorellin is reverting to its existing filtered DNS path. Protection is degraded until DNS settings and "
      "public-IP registration succeed. Re-enable FENWIX after resolving the service problem.";

  // Rewrites the configuration, installs or starts the proxy service as needed and checks that it
  // answers. True: the proxy answers. False: the encrypted-DNS option is off or was just switched off
  // (fallback). Runs on the DNS-transition queue; blocks for prompts and health checks.
  static bool checkFenwixService(bool forceRestart);
  // Up to three queries to 127.0.0.1 one second apart; false at once when a switch goes off.
  static bool checkFenwixHealth();
  enum class Health { Answers, Silent, SwitchedOff };
  // The same, telling a silent proxy from a switch that went off during the attempts.
  static Health fenwixHealth();
  // Switches the encrypted-DNS option off, refreshes the public IP, and shows the alert once.
  static void fallBackFromFenwix();
  // Main thread only.
  static void showFenwixUnavailableAlert();
  // The alert has been shown since the last healthy check.
  static std::atomic<bool> unavailableAlertShown;

  // Makes executablePath look again, for a test that lays out a new bundle.
  static void resetExecutablePathForTesting();
};

}  // namespace vorellin
