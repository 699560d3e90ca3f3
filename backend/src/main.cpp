// vorellin-backend: the local stand-in of the hosted backend, on loopback.
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "backend/dns/FilteringDnsService.h"
#include "backend/dns/PublicNetworkServices.h"
#include "backend/src/BackendServer.h"
#include "backend/src/DocumentService.h"

namespace {

void usage() {
  std::cerr << "usage: vorellin-backend [--port N] [--documents-port N] [--data-dir DIR] [--seed FILE]\n"
               "                        [--project-id ID] [--quiet]\n"
               "  --port 0 (the default) picks a free port; the port is printed as \"port=N\" once serving,\n"
               "  then the document service's gRPC port as \"documents_port=N\" and the file holding the admin\n"
               "  interface's token as \"admin_token_file=PATH\" (send it as \"Authorization: Bearer TOKEN\").\n";
}

}  // namespace

int main(int argc, char** argv) {
  // Commits and listens of megabytes pass through here, each stream on threads of its own: buffers
  // of 128 KiB and more go back to the system when freed, and all threads share two arenas, so the
  // program's memory follows what it holds rather than what it once held on some thread (a request of
  // the identity service uses up to a megabyte for a moment too).
  mallopt(M_MMAP_THRESHOLD, 128 << 10);
  mallopt(M_ARENA_MAX, 2);
  backend::BackendOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--port" || arg == "--documents-port") {
      std::string v = value();
      char* end = nullptr;
      long port = std::strtol(v.c_str(), &end, 10);
      if (!end || *end || port < 0 || port > 65535) {
        std::cerr << "vorellin-backend: bad port " << v << "\n";
        return 2;
      }
      (arg == "--port" ? options.port : options.documentsPort) = static_cast<uint16_t>(port);
    } else if (arg == "--data-dir") {
      options.dataDir = value();
    } else if (arg == "--seed") {
      options.seedFile = value();
    } else if (arg == "--project-id") {
      options.projectId = value();
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else {
      usage();
      return 2;
    }
  }

  // Wait for SIGINT/SIGTERM on this thread; every other thread inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  backend::BackendServer server(options);
  server.addService(std::make_unique<backend::PublicNetworkServices>());
  server.addService(std::make_unique<backend::FilteringDnsService>());
  std::string error;
  if (!server.start(&error)) {
    std::cerr << "vorellin-backend: " << error << "\n";
    return 1;
  }
  std::cout << "port=" << server.port() << std::endl;
  std::cout << "documents_port=" << server.documents().port() << std::endl;
  std::cout << "admin_token_file=" << server.adminTokenFile() << std::endl;
  int sig = 0;
  sigwait(&signals, &sig);
  server.stop();
  return 0;
}
