#include "platform/appkit/SharingService.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>

#include <QUrl>

#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/QtSupport.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/System.h"
#include "platform/logging/Log.h"
#include "platform/process/Process.h"

namespace platform::appkit {

namespace {

struct State {
  std::mutex mutex;
  std::string lastDraft;
  SharingService::Composer composer;
  std::optional<bool> available;
};

State& state() {
  static auto* s = new State();
  return *s;
}

// Header values never carry line breaks: a subject or an address with one could add headers.
std::string headerSafe(const std::string& text) {
  std::string out;
  for (char c : text) out += (c == '\r' || c == '\n') ? ' ' : c;
  return out;
}

bool isAscii(const std::string& text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

// An encoded word for text that is not plain ASCII.
std::string headerText(const std::string& text) {
  const std::string safe = headerSafe(text);
  return isAscii(safe) ? safe : "=?UTF-8?B?" + base64Encode(safe) + "?=";
}

std::string percentEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '@') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string rfc5322Date() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char zone[8];
  std::strftime(zone, sizeof zone, "%z", &local);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %s", days[local.tm_wday], local.tm_mday,
                months[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, zone);
  return buf;
}

std::string quotedFileName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\r' || c == '\n') continue;
    out += c;
  }
  return out;
}

// Lines of at most 76 characters, as mail wants them.
std::string wrapped(const std::string& base64) {
  std::string out;
  for (size_t i = 0; i < base64.size(); i += 76) out += base64.substr(i, 76) + "\r\n";
  return out;
}

// Body lines end in CRLF on the wire.
std::string crlf(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

bool desktopHasMailHandler() {
  const std::string handler = platform::runShell("xdg-mime query default x-scheme-handler/mailto 2>/dev/null").output;
  for (char c : handler)
    if (!std::isspace(static_cast<unsigned char>(c))) return true;
  return false;
}

// A new file in the drafts folder, never one that exists already.
std::string createDraftFile(const std::string& message, std::string* error) {
  namespace fs = std::filesystem;
  const std::string dir = SharingService::draftsDirectory();
  std::error_code ec;
  fs::create_directories(dir, ec);
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", &local);
  for (int n = 1; n < 1000; ++n) {
    const std::string path = dir + "/Message " + stamp + (n > 1 ? " " + std::to_string(n) : "") + ".eml";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
      return "";
    }
    size_t written = 0;
    while (written < message.size()) {
      ssize_t w = ::write(fd, message.data() + written, message.size() - written);
      if (w <= 0) break;
      written += static_cast<size_t>(w);
    }
    ::close(fd);
    if (written != message.size()) {
      if (error) *error = "cannot write " + path;
      ::unlink(path.c_str());
      return "";
    }
    return path;
  }
  if (error) *error = "no free draft name in " + dir;
  return "";
}

void tell(const std::string& message, const std::string& informative) {
  Alert alert;
  alert.messageText = message;
  alert.informativeText = informative;
  alert.style = AlertStyle::Informational;
  alert.buttons = {"OK"};
  AlertPresenter::shared()->runModal(alert);
}

}  // namespace

std::shared_ptr<SharingService> SharingService::sharingServiceNamed(const std::string& name) {
  if (name != kSharingServiceNameComposeEmail) return nullptr;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().available == false) return nullptr;
  }
  return std::make_shared<SharingService>();
}

std::string SharingService::fileURLWithPath(const std::string& path) {
  return qt::s(QUrl::fromLocalFile(qt::q(path)).toString(QUrl::FullyEncoded));
}

std::string SharingService::draftsDirectory() { return platform::homeDirectory() + "/Library/Mail Drafts"; }

std::string SharingService::lastDraftPath() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().lastDraft;
}

std::string SharingService::mailtoURL(const Message& message) {
  std::string to;
  for (const auto& r : message.recipients) to += (to.empty() ? "" : ",") + percentEncode(headerSafe(r));
  return "mailto:" + to + "?subject=" + percentEncode(headerSafe(message.subject)) +
         "&body=" + percentEncode(crlf(message.body));
}

std::string SharingService::emlMessage(const Message& message, std::string* error) {
  std::ostringstream out;
  std::string to;
  for (const auto& r : message.recipients) to += (to.empty() ? "" : ", ") + headerSafe(r);
  out << "To: " << to << "\r\n"
      << "Subject: " << headerText(message.subject) << "\r\n"
      << "Date: " << rfc5322Date() << "\r\n"
      << "X-Unsent: 1\r\n"
      << "MIME-Version: 1.0\r\n";
  const std::string textPart = "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
                               crlf(message.body) + "\r\n";
  if (message.attachments.empty()) {
    out << textPart;
    return out.str();
  }
  std::mt19937_64 random{std::random_device{}()};
  const std::string boundary = "=_part_" + std::to_string(random());
  out << "Content-Type: multipart/mixed; boundary=\"" << boundary << "\"\r\n\r\n"
      << "--" << boundary << "\r\n"
      << textPart;
  for (const auto& path : message.attachments) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      if (error) *error = "cannot read the attachment " + path;
      return "";
    }
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name = quotedFileName(std::filesystem::path(path).filename().string());
    out << "--" << boundary << "\r\n"
        << "Content-Type: application/octet-stream; name=\"" << name << "\"\r\n"
        << "Content-Disposition: attachment; filename=\"" << name << "\"\r\n"
        << "Content-Transfer-Encoding: base64\r\n\r\n"
        << wrapped(base64Encode(data));
  }
  out << "--" << boundary << "--\r\n";
  return out.str();
}

bool SharingService::performWithItems(const std::vector<std::string>& items) {
  Message message;
  message.recipients = recipients_;
  message.subject = subject_;
  bool firstLine = true;
  for (const auto& item : items) {
    const QUrl url(qt::q(item), QUrl::StrictMode);
    if (url.isValid() && url.isLocalFile()) {
      message.attachments.push_back(qt::s(url.toLocalFile()));
    } else {
      message.body += (firstLine ? "" : "\n") + item;
      firstLine = false;
    }
  }
  Composer composer;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    composer = state().composer;
  }
  if (composer) return composer(message);

  // A link cannot carry attachments, so a message with files always becomes a draft file.
  if (message.attachments.empty() && desktopHasMailHandler() &&
      Workspace::shared().openURL(mailtoURL(message))) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().lastDraft.clear();
    return true;
  }
  std::string error;
  std::string text = emlMessage(message, &error);
  std::string path = text.empty() ? "" : createDraftFile(text, &error);
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().lastDraft = path;
  }
  if (path.empty()) {
    VRL_LOG_ERROR_AT(__FILE__, "performWithItems(_:)", __LINE__, "Could not write the mail draft: " << error);
    tell("The message could not be prepared.", error);
    return false;
  }
  std::cout << "Mail draft written to " << path << std::endl;
  tell("The message was saved as a draft.", "Open " + path + " in your mail program to send it.");
  return true;
}

void SharingService::setComposerForTesting(Composer composer) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().composer = std::move(composer);
}

void SharingService::setAvailableForTesting(std::optional<bool> available) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().available = available;
}

}  // namespace platform::appkit
