// Helpers for the proxy tests: temporary folders, free loopback ports, stamps, configurations and dig.
#pragma once

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/Base64.h"
#include "platform/process/Process.h"

namespace vorellin::fenwix::testing {

class TempDir {
 public:
  TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vrl-fenwix-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A loopback port free for both UDP and TCP right now.
inline uint16_t freePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(tcp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(tcp, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ::close(tcp);
      continue;
    }
    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    bool ok = ::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(udp);
    ::close(tcp);
    if (ok) return ntohs(addr.sin_port);
  }
  return 0;
}

// A DNS-over-HTTPS stamp from its fields (one hash per entry of hashes; none means one empty hash).
inline std::string makeStamp(const std::string& host, const std::string& path, const std::string& address = "",
                             std::vector<std::string> hashes = {""}, uint64_t props = 7) {
  std::string r(1, '\x02');
  for (int i = 0; i < 8; ++i) r.push_back(static_cast<char>((props >> (8 * i)) & 0xff));
  r.push_back(static_cast<char>(address.size()));
  r += address;
  for (size_t i = 0; i < hashes.size(); ++i) {
    r.push_back(static_cast<char>(hashes[i].size() | (i + 1 < hashes.size() ? 0x80 : 0)));
    r += hashes[i];
  }
  r.push_back(static_cast<char>(host.size()));
  r += host;
  r.push_back(static_cast<char>(path.size()));
  r += path;
  return "sdns://" + platform::base64URLEncode(r);
}

// The shape of the live configuration: base part, then the two static sections the application appends.
inline std::string proxyToml(uint16_t port, const std::string& primary, const std::string& secondary,
                             const std::string& caFile) {
  std::string text = "listen_addresses = ['127.0.0.1:" + std::to_string(port) +
                     "']\n"
                     "server_names = ['vorellin-primary', 'vorellin-secondary']\n"
                     "timeout = 2000\n";
  if (!caFile.empty()) text += "vorellin_ca_file = '" + caFile + "'\n";
  text += "[static.'vorellin-primary']\nstamp = '" + primary + "'\n";
  text += "[static.'vorellin-secondary']\nstamp = '" + secondary + "'\n";
  return text;
}

// "/usr/bin/dig @127.0.0.1 -p PORT NAME TYPE ..." with the extra options.
inline platform::ProcessResult dig(uint16_t port, const std::string& name, const std::string& options,
                                   const std::string& type = "A") {
  return platform::runShell("/usr/bin/dig @127.0.0.1 -p " + std::to_string(port) + " " + name + " " + type + " " +
                            options + " 2>&1");
}

inline std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace vorellin::fenwix::testing
