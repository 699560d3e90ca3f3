// The proxy in the foreground: loads the configuration, serves DNS until SIGTERM or SIGINT.
#pragma once

#include <string>

#include "Vorellin/dnscrypt/service/ProxyConfiguration.h"

namespace vorellin::fenwix {

class ProxyDaemon {
 public:
  // Exit status: 0 after a signal, 1 when the configuration or the listeners fail. When started by
  // "-service start", reports "ready <pid>" or the failure on the descriptor the starter passed.
  static int run(const std::string& configPath, TrustOverride trust);
};

}  // namespace vorellin::fenwix
