#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/foundation/DamagedInput.h"
#include "platform/foundation/Utf8.h"

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

// A text from a request or from storage as the program's output shows it: control characters (C0,
// DEL, C1) and bytes that start no valid UTF-8 sequence as "\xHH", backslashes doubled, so that it
// writes no line of its own (such as "port=...") into the output that the run command reads.
inline std::string showInLog(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size();) {
    uint32_t codePoint = 0;
    const size_t n = platform::utf8SequenceAt(text, i, &codePoint);
    if (n != 0 && codePoint >= 0x20 && (codePoint < 0x7F || codePoint >= 0xA0)) {
      if (text[i] == '\\') out += '\\';
      out.append(text, i, n);
      i += n;
      continue;
    }
    for (const size_t end = i + (n == 0 ? 1 : n); i < end; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
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
