// vorellin-backend run as its own program for a benchmark, so that only its memory counts.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend/src/BackendProcess.h"

namespace bench {

// vorellin-backend over a fresh data directory, and its memory as the kernel counts it.
class BackendProgram {
 public:
  BackendProgram() {
    char tmpl[] = "/tmp/vrl-backend-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    dir_ = tmpl;
    std::ofstream(dir_ + "/seed.json") << R"({"users":[{"email":"bench@example.com","password":"bench-pass"}]})";
    process_ = std::make_unique<backend::BackendProcess>(
        VRL_BACKEND_EXE, std::vector<std::string>{"--port", "0", "--data-dir", dir_ + "/data", "--seed",
                                                  dir_ + "/seed.json", "--quiet"});
  }
  ~BackendProgram() {
    process_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  bool started() const { return process_ && process_->started(); }
  std::string dataDir() const { return dir_ + "/data"; }
  int port() const { return std::stoi(process_->announced().at("port")); }
  std::string documentsHost() const { return "127.0.0.1:" + process_->announced().at("documents_port"); }

  // A line of /proc/<pid>/status in bytes ("VmRSS", "VmHWM").
  double statusBytes(const std::string& key) const {
    std::ifstream status("/proc/" + std::to_string(process_->pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) * 1024;
    return -1;
  }
  // A line of /proc/<pid>/io ("wchar": the bytes it has handed to write(), its files and pipes, not
  // its sockets).
  double ioBytes(const std::string& key) const {
    std::ifstream io("/proc/" + std::to_string(process_->pid()) + "/io");
    std::string line;
    while (std::getline(io, line))
      if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1));
    return -1;
  }
  // Makes VmHWM start again from the current resident set.
  bool resetPeak() const {
    return static_cast<bool>(std::ofstream("/proc/" + std::to_string(process_->pid()) + "/clear_refs") << "5");
  }
  // Waits until the resident set has stayed within 1 MB for two seconds (at most a minute): what
  // the clients set going has come to rest.
  void settle() const {
    double last = statusBytes("VmRSS");
    int still = 0;
    for (int i = 0; i < 600 && still < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      double now = statusBytes("VmRSS");
      still = std::fabs(now - last) < (1 << 20) ? still + 1 : 0;
      last = now;
    }
  }

 private:
  std::string dir_;
  std::unique_ptr<backend::BackendProcess> process_;
};

}  // namespace bench
