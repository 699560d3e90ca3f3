#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/foundation/DamagedInput.h"

namespace httplib {
class Server;
}

namespace backend {

// Every JSON the stand-in reads from a request or a file: discarded when malformed or nested deeper
// than any client sends.
inline nlohmann::json parseJSON(const std::string& text) {
  if (!platform::jsonNestingWithin(text)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text, nullptr, false);
}

// One service of the stand-in. HTTP services add their routes to the shared loopback server;
// services with a listener of their own (gRPC) start and stop it with the program.
class Service {
 public:
  virtual ~Service() = default;
  virtual std::string name() const = 0;
  virtual void registerRoutes(httplib::Server& server) { (void)server; }
  // Loads what the service keeps in the data directory; called first. False stops the start.
  virtual bool open(std::string* error) { (void)error; return true; }
  // The seed file's contents (each service takes its own keys); false stops the program's start.
  virtual bool applySeed(const nlohmann::json& seed, std::string* error) { (void)seed; (void)error; return true; }
  // Called once the HTTP server has its port, after applySeed; false stops the program's start.
  virtual bool start(std::string* error) { (void)error; return true; }
  virtual void stop() {}
};

}  // namespace backend
