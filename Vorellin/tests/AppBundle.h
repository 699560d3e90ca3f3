// Lays out the application folder for a test: the build tree's Vorellin.app (Info.plist, resources and
// the proxy executable) copied to /Applications/Vorellin.app under the current platform root, and made the
// main bundle of this process and of the commands it runs. The proxy is its test build, which may be
// pointed at the local resolver stand-in's certificate authority.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/System.h"

namespace vorellin::testing {

inline std::string builtAppBundle() { return std::string(std::getenv("VRL_BINARY_DIR")) + "/Vorellin.app"; }

// Returns the bundle's path. withProxy false leaves the proxy executable out.
inline std::string layOutAppBundle(bool withProxy = true) {
  namespace fs = std::filesystem;
  const std::string target = platform::systemPath("/Applications/Vorellin.app");
  fs::remove_all(target);
  fs::create_directories(target + "/Contents/MacOS");
  fs::copy(builtAppBundle() + "/Contents/Resources", target + "/Contents/Resources",
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  if (fs::exists(builtAppBundle() + "/Contents/Info.plist"))
    fs::copy_file(builtAppBundle() + "/Contents/Info.plist", target + "/Contents/Info.plist",
                  fs::copy_options::overwrite_existing);
  const std::string proxy = target + "/Contents/Resources/" + FenwixHelper::serviceName;
#ifdef VRL_FENWIX_TEST_BUILD_EXE
  if (withProxy) {
    fs::copy_file(VRL_FENWIX_TEST_BUILD_EXE, proxy, fs::copy_options::overwrite_existing);
  } else {
    fs::remove(proxy);
  }
#else
  // Programs that never start the proxy keep the one the application folder ships.
  if (!withProxy) fs::remove(proxy);
#endif
  platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath(target));
  ::setenv("VRL_MAIN_BUNDLE", target.c_str(), 1);
  FenwixHelper::resetExecutablePathForTesting();
  return target;
}

inline void forgetAppBundle() {
  platform::Bundle::setMainBundleForTesting(nullptr);
  ::unsetenv("VRL_MAIN_BUNDLE");
  FenwixHelper::resetExecutablePathForTesting();
}

}  // namespace vorellin::testing
