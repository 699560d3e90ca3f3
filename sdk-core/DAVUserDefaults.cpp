#include "sdk-core/DAVUserDefaults.h"

#include <unistd.h>

#include <climits>
#include <mutex>
#include <string>

#include "platform/foundation/Bundle.h"

namespace {

std::mutex gStandardMutex;
std::shared_ptr<platform::UserDefaults> gStandardOverride;

std::string executableName() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "unknown";
  std::string path(buffer, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::shared_ptr<platform::UserDefaults> DAVUserDefaults::standardUserDefaults() {
  {
    std::lock_guard<std::mutex> lock(gStandardMutex);
    if (gStandardOverride) return gStandardOverride;
  }
  std::string domain;
  if (auto bundle = platform::Bundle::main()) domain = bundle->bundleIdentifier();
  if (domain.empty()) domain = executableName();
  return platform::UserDefaults::forDomain(domain);
}

void DAVUserDefaults::setStandardUserDefaultsForTesting(std::shared_ptr<platform::UserDefaults> defaults) {
  std::lock_guard<std::mutex> lock(gStandardMutex);
  gStandardOverride = std::move(defaults);
}
