#pragma once

#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace backend {

// The secret of the stand-in's admin interface (every route under "/admin/") and the checks each
// admin request passes. The interface reads and writes every user's documents and accounts, so a
// local process must prove it may read the token file, and a web page reaching the loopback port
// through DNS rebinding is refused by its Host or Origin header before anything else is looked at.
class AdminGuard {
 public:
  AdminGuard() = default;
  ~AdminGuard();  // removes the temporary folder it made, if any
  AdminGuard(const AdminGuard&) = delete;
  AdminGuard& operator=(const AdminGuard&) = delete;

  // Makes a fresh random token and writes it to "admin-token" (0600) in dataDir, or, with no
  // data directory, in a fresh 0700 temporary folder. False with the reason when it cannot.
  bool create(const std::string& dataDir, std::string* error);

  const std::string& token() const { return token_; }
  const std::string& tokenFile() const { return tokenFile_; }

  // True when the request may go on; otherwise the reply is set (403 for a foreign Host or Origin,
  // 401 for a missing or wrong token) and false is returned.
  bool admit(const httplib::Request& req, httplib::Response& res) const;

  // "http://localhost:3000" and the like; "null" and every other origin are not loopback.
  static bool isLoopbackOrigin(const std::string& origin);

 private:
  std::string token_;
  std::string tokenFile_;
  std::string tempDir_;  // made by create(), removed by the destructor
};

}  // namespace backend
