#include "backend/src/AdminGuard.h"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/foundation/LoopbackHost.h"

namespace backend {

namespace {

constexpr const char* kTokenFileName = "admin-token";

std::string hex(const unsigned char* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

AdminGuard::~AdminGuard() {
  if (tempDir_.empty()) return;
  ::unlink(tokenFile_.c_str());
  ::rmdir(tempDir_.c_str());
}

bool AdminGuard::create(const std::string& dataDir, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error) *error = text + ": " + std::strerror(errno);
    return false;
  };
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return fail("cannot make the admin token");
  std::string dir = dataDir;
  if (dir.empty() && tempDir_.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorellin-backend-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) return fail("cannot make a folder for the admin token");
    tempDir_ = buffer.data();  // mkdtemp makes it 0700
  }
  if (dir.empty()) dir = tempDir_;
  const std::string path = dir + "/" + kTokenFileName;
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail("cannot write " + temporary);
  bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, hex(bytes, sizeof bytes) + "\n") && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return fail("cannot write " + path);
  }
  token_ = hex(bytes, sizeof bytes);
  tokenFile_ = path;
  return true;
}

bool AdminGuard::isLoopbackOrigin(const std::string& origin) {
  std::string o = lower(origin);
  for (const char* scheme : {"http://", "https://"}) {
    const size_t n = std::strlen(scheme);
    if (o.compare(0, n, scheme) != 0) continue;
    std::string host = o.substr(n);
    if (host.empty() || host.find_first_of("/?#@") != std::string::npos) return false;
    return platform::isLoopbackHost(host);
  }
  return false;
}

bool AdminGuard::admit(const httplib::Request& req, httplib::Response& res) const {
  auto refuse = [&](int status, const char* text) {
    res.status = status;
    if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
    res.set_header("Connection", "close");
    res.set_content(std::string(R"({"error":")") + text + "\"}", "application/json");
    return false;
  };
  // One Host, and every Origin loopback: a second header must not hide behind the first.
  if (req.get_header_value_count("Host") != 1 || !platform::isLoopbackHost(req.get_header_value("Host")))
    return refuse(403, "the admin interface answers requests to a loopback host only");
  for (size_t i = 0; i < req.get_header_value_count("Origin"); ++i)
    if (!isLoopbackOrigin(req.get_header_value("Origin", i)))
      return refuse(403, "the admin interface refuses requests from other origins");
  if (req.get_header_value_count("Authorization") != 1) return refuse(401, "the admin token is missing");
  const std::string header = req.get_header_value("Authorization");
  const std::string scheme = "bearer ";  // the scheme's name is case-insensitive
  if (token_.empty() || header.size() != scheme.size() + token_.size() || lower(header.substr(0, scheme.size())) != scheme ||
      CRYPTO_memcmp(header.data() + scheme.size(), token_.data(), token_.size()) != 0)
    return refuse(401, "the admin token is wrong");
  return true;
}

}  // namespace backend
