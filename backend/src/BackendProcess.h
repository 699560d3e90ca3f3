#pragma once

#include <sys/types.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace backend {

// vorellin-backend run as a program of its own, for tests and benchmarks that watch it from the
// outside (its exit, its memory). Reads what it announces on standard output ("port=",
// "documents_port=", "admin_token_file=") until the last of them.
class BackendProcess {
 public:
  // `executable` is the program, `arguments` what follows its name.
  BackendProcess(const std::string& executable, const std::vector<std::string>& arguments);
  ~BackendProcess();  // stops it
  BackendProcess(const BackendProcess&) = delete;
  BackendProcess& operator=(const BackendProcess&) = delete;

  // Whether it announced its ports.
  bool started() const { return announced_.count("port") && announced_.count("documents_port"); }
  const std::map<std::string, std::string>& announced() const { return announced_; }
  pid_t pid() const { return pid_; }

  // SIGTERM, then waits: the wait status, or -1 when it no longer runs.
  int stop();
  // The lines without "=" it printed on standard output while starting (a failed start's message),
  // then all it printed after its announcements, up to its end; after stop().
  std::string remainingOutput();

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  std::map<std::string, std::string> announced_;
  std::string unannounced_;  // lines without "=" read while waiting for the announcements
};

}  // namespace backend
