#include "Vorellin/dnscrypt/service/ProxyDaemon.h"

#include <curl/curl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Vorellin/dnscrypt/service/DnsProxyServer.h"
#include "Vorellin/dnscrypt/service/ProxyConfiguration.h"
#include "Vorellin/dnscrypt/service/ServiceController.h"

namespace vorellin::fenwix {
namespace {

// The starter's pipe, taken out of the environment so nothing started later inherits it.
int takeReadyFd() {
  const char* env = std::getenv(ServiceController::kReadyFdEnv);
  int fd = env ? std::atoi(env) : -1;
  ::unsetenv(ServiceController::kReadyFdEnv);
  return fd > 2 ? fd : -1;
}

void report(int fd, const std::string& text) {
  if (fd < 0) return;
  std::string line = text + "\n";
  ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
  ::close(fd);
}

}  // namespace

int ProxyDaemon::run(const std::string& configPath, TrustOverride trust) {
  int readyFd = takeReadyFd();
  // Signals are taken by sigwait below; the serving threads inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGHUP, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);

  std::string error;
  std::optional<ProxyConfiguration> config = ProxyConfiguration::load(configPath, &error, trust);
  if (!config) {
    std::fprintf(stderr, "[FATAL] %s\n", error.c_str());
    report(readyFd, error);
    return 1;
  }
  for (const auto& w : config->warnings) std::fprintf(stderr, "[WARNING] %s\n", w.c_str());

  curl_global_init(CURL_GLOBAL_DEFAULT);
  int status = 0;
  {
    DnsProxyServer server(*config);
    if (!server.start(&error)) {
      std::fprintf(stderr, "[FATAL] %s\n", error.c_str());
      report(readyFd, error);
      status = 1;
    } else {
      for (const auto& a : config->listenAddresses) std::fprintf(stderr, "[NOTICE] listening on %s\n", a.c_str());
      for (const auto& s : config->servers)
        std::fprintf(stderr, "[NOTICE] server %s: %s\n", s.name.c_str(), s.stamp.url().c_str());
      std::fflush(stderr);
      report(readyFd, "ready " + std::to_string(::getpid()));
      int sig = 0;
      sigwait(&signals, &sig);
      std::fprintf(stderr, "[NOTICE] stopping on signal %d\n", sig);
      server.stop();
    }
  }
  curl_global_cleanup();
  return status;
}

}  // namespace vorellin::fenwix
