// One public-IP echo service on loopback HTTP: a GET on its path answers with the address it is set to
// (plain text), whoever asks. Tests set each of the three services apart to make them disagree.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace backend {

class PublicIpEchoServer {
 public:
  // path: "/" for the first two services, "/ip" for the third.
  PublicIpEchoServer(std::string answer, std::string path = "/");
  ~PublicIpEchoServer();  // stops
  PublicIpEchoServer(const PublicIpEchoServer&) = delete;
  PublicIpEchoServer& operator=(const PublicIpEchoServer&) = delete;

  // Serves on 127.0.0.1:port (0: a free port) on a thread of its own.
  bool start(uint16_t port = 0, std::string* error = nullptr);
  void stop();

  // The body answered from now on, sent byte for byte, and the HTTP status (200 unless set).
  void setAnswer(std::string body, int status = 200);
  int requestCount() const;

  uint16_t port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:<port><path>"

 private:
  std::string path_;
  mutable std::mutex mutex_;
  std::string answer_;
  int status_ = 200;
  int requests_ = 0;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
  uint16_t port_ = 0;
};

}  // namespace backend
