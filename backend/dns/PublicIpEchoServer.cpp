#include "backend/dns/PublicIpEchoServer.h"

#include <httplib.h>

#include <chrono>

namespace backend {

PublicIpEchoServer::PublicIpEchoServer(std::string answer, std::string path)
    : path_(std::move(path)), answer_(std::move(answer)) {}

PublicIpEchoServer::~PublicIpEchoServer() { stop(); }

bool PublicIpEchoServer::start(uint16_t port, std::string* error) {
  if (http_) return true;
  http_ = std::make_unique<httplib::Server>();
  http_->Get(path_, [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_;
    res.status = status_;
    res.set_content(answer_, "text/plain");
  });
  int bound = port == 0 ? http_->bind_to_any_port("127.0.0.1")
                        : (http_->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) {
    http_.reset();
    if (error) *error = "cannot listen on 127.0.0.1:" + std::to_string(port);
    return false;
  }
  port_ = static_cast<uint16_t>(bound);
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  // A stop() before the loop runs would be lost; wait for it.
  for (int i = 0; i < 5000 && !http_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void PublicIpEchoServer::stop() {
  if (!http_) return;
  http_->stop();
  if (thread_.joinable()) thread_.join();
  http_.reset();
}

void PublicIpEchoServer::setAnswer(std::string body, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(body);
  status_ = status;
}

int PublicIpEchoServer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string PublicIpEchoServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + path_; }

}  // namespace backend
