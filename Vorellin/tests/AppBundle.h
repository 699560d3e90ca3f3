// Lays out the application folder for a test: the build tree's Vorellin.app (Info.plist, resources and
// the proxy executable) copied to /Applications/Vorellin.app under the current platform root, and made the
// main bundle of this process and of the commands it runs. The proxy is its test build, which may be
// pointed at the local resolver stand-in's certificate authority.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

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

// The SDK's property list of the laid-out application folder, pointed at a backend stand-in (TLS off)
// and at public-IP echo services.
inline void writeServiceInfo(const std::string& apiKey, const std::string& projectId, const std::string& baseURL,
                             const std::string& documentsHost, const std::vector<std::string>& echoUrls) {
  std::ofstream plist(platform::systemPath("/Applications/Vorellin.app/Contents/Resources/VariruService-Info.plist"));
  plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        << "<key>API_KEY</key><string>" << apiKey << "</string>\n"
        << "<key>VARIRU_APP_ID</key><string>1:123456789012:ios:0123456789abcdef</string>\n"
        << "<key>GCM_SENDER_ID</key><string>123456789012</string>\n"
        << "<key>PROJECT_ID</key><string>" << projectId << "</string>\n"
        << "<key>IDENTITY_SERVICE_URL</key><string>" << baseURL << "</string>\n"
        << "<key>SECURE_TOKEN_SERVICE_URL</key><string>" << baseURL << "</string>\n"
        << "<key>VERORARIV_HOST</key><string>" << documentsHost << "</string>\n"
        << "<key>VERORARIV_SSL_ENABLED</key><false/>\n"
        << "<key>PUBLIC_IP_ECHO_URLS</key><array>";
  for (const auto& url : echoUrls) plist << "<string>" << url << "</string>";
  plist << "</array>\n</dict>\n</plist>\n";
}

inline void forgetAppBundle() {
  platform::Bundle::setMainBundleForTesting(nullptr);
  ::unsetenv("VRL_MAIN_BUNDLE");
  FenwixHelper::resetExecutablePathForTesting();
}

}  // namespace vorellin::testing
