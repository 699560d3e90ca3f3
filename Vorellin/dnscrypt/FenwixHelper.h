// The encrypted-DNS proxy helper: the one road for commands that need administrator rights, and the
// command lines of the proxy executable.
#pragma once

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

  // The proxy executable inside the application's resources; worked out once.
  static const std::string& executablePath();
  // The executable path as one single-quoted shell word followed by a suffix such as kServiceStart.
  static std::string proxyCommandLine(const std::string& executablePath, const std::string& suffix);
  static std::string proxyCommandLine(const std::string& suffix) { return proxyCommandLine(executablePath(), suffix); }
};

}  // namespace vorellin
