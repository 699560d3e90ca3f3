#include "backend/src/BackendProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace backend {

BackendProcess::BackendProcess(const std::string& executable, const std::vector<std::string>& arguments) {
  int out[2];
  if (::pipe(out) != 0) return;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(executable.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  out_ = ::fdopen(out[0], "r");
  char line[512];
  while (!announced_.count("admin_token_file") && std::fgets(line, sizeof line, out_)) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    size_t eq = text.find('=');
    if (eq != std::string::npos)
      announced_[text.substr(0, eq)] = text.substr(eq + 1);
    else
      unannounced_ += text + "\n";
  }
}

BackendProcess::~BackendProcess() {
  stop();
  if (out_) std::fclose(out_);
}

int BackendProcess::stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  pid_t waited = ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return waited > 0 ? status : -1;
}

std::string BackendProcess::remainingOutput() {
  std::string text = std::move(unannounced_);
  unannounced_.clear();
  if (!out_) return text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, out_)) > 0) text.append(buffer, n);
  return text;
}

}  // namespace backend
