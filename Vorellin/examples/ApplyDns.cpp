// Applies the DNS that the stored protection settings ask for, as a user action in the main window
// would, and waits until the DNS-transition queue has done it. With "--clear" it removes the
// servers, as quitting does. Used by the run command until the application has its window.
#include <cstring>
#include <iostream>

#include "Vorellin/AppUtils.h"
#include "platform/logging/ConsoleLogger.h"
#include "platform/logging/Log.h"

int main(int argc, char** argv) {
  const bool clear = argc > 1 && std::strcmp(argv[1], "--clear") == 0;
  platform::logging::Log::shared().addLogger(platform::logging::ConsoleLogger::shared());
  // Like every requester: one task on the DNS-transition queue; then wait for the queue to reach it.
  vorellin::AppUtils::dnsTransitionQueue()->async([clear] {
    vorellin::AppUtils::setDns(true, clear, clear ? "applicationWillTerminate(_:)" : "btnVRL(_:)", __FILE__, __LINE__);
  });
  vorellin::AppUtils::dnsTransitionQueue()->sync([] {});
  platform::logging::Log::shared().flush();
  std::cout << "wanted resolvers:";
  for (const std::string& address : vorellin::AppUtils::dnsServersForCurrentState()) std::cout << ' ' << address;
  std::cout << std::endl;
  return 0;
}
