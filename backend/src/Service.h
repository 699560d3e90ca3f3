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

namespace detail {

// `text` shown as showInLog shows it, up to the last whole character that keeps the result within
// `limit` bytes; *shownBytes is how many bytes of `text` that shows.
inline std::string showWithin(const std::string& text, size_t limit, size_t* shownBytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    uint32_t codePoint = 0;
    const size_t n = platform::utf8SequenceAt(text, i, &codePoint);
    std::string shown;
    size_t taken;
    if (n != 0 && codePoint >= 0x20 && (codePoint < 0x7F || codePoint >= 0xA0)) {
      if (text[i] == '\\') shown += '\\';
      shown.append(text, i, n);
      taken = n;
    } else {
      taken = n == 0 ? 1 : n;
      for (size_t j = i; j < i + taken; ++j) {
        const auto c = static_cast<unsigned char>(text[j]);
        shown += "\\x";
        shown += digits[c >> 4];
        shown += digits[c & 15];
      }
    }
    if (out.size() + shown.size() > limit) break;
    out += shown;
    i += taken;
  }
  *shownBytes = i;
  return out;
}

}  // namespace detail

// A text from a request or from storage as the program's output shows it: control characters (C0,
// DEL, C1) and bytes that start no valid UTF-8 sequence as "\xHH", backslashes doubled, so that it
// writes no line of its own (such as "port=...") into the output that the run command reads.
inline std::string showInLog(const std::string& text) {
  size_t shownBytes = 0;
  return detail::showWithin(text, std::string::npos, &shownBytes);
}

// How much of a caller's text a refusal quotes at most, shown.
inline constexpr size_t kMaxQuotedBytes = 200;

// A caller's text (a document name, a path) as a refusal quotes it: shown as by showInLog, cut after
// kMaxQuotedBytes with a mark of how much was cut. A refusal that grew with its request could pass
// what the caller's transport takes in (gRPC's metadata limit is 8 KiB) and never reach it.
inline std::string quoteInput(const std::string& text) {
  size_t shownBytes = 0;
  std::string out = detail::showWithin(text, kMaxQuotedBytes, &shownBytes);
  if (shownBytes < text.size()) out += "\u2026 (" + std::to_string(text.size() - shownBytes) + " bytes cut)";
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
