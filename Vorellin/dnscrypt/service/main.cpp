// VRLFenwixService: the local encrypted-DNS proxy of the simulated Mac.
//   VRLFenwixService -service install|start|restart|uninstall
//   VRLFenwixService [-config FILE]    serve in the foreground (default: dnscrypt-proxy.toml beside it)
#include <iostream>
#include <string>

#include "Vorellin/dnscrypt/service/ProxyDaemon.h"
#include "Vorellin/dnscrypt/service/ServiceController.h"

namespace {

// Only the build the tests run may be pointed at another certificate authority.
#ifdef VRL_FENWIX_TEST_BUILD
constexpr vorellin::fenwix::TrustOverride kTrust = vorellin::fenwix::TrustOverride::Honoured;
#else
constexpr vorellin::fenwix::TrustOverride kTrust = vorellin::fenwix::TrustOverride::Ignored;
#endif

int usage() {
  std::cerr << "usage: VRLFenwixService [-config FILE] | -service install|start|restart|uninstall" << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using vorellin::fenwix::ServiceController;
  const std::string self = vorellin::fenwix::invokedExecutablePath(argv[0]);
  std::string config;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "-service" || arg == "--service") && i + 1 < argc && argc == 3) {
      ServiceController controller(self, std::cout, std::cerr);
      return controller.run(argv[i + 1]);
    }
    if ((arg == "-config" || arg == "--config") && i + 1 < argc) {
      config = argv[++i];
    } else {
      return usage();
    }
  }
  if (config.empty()) {
    size_t slash = self.rfind('/');
    config = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" +
             ServiceController::kConfigName;
  }
  return vorellin::fenwix::ProxyDaemon::run(config, kTrust);
}
