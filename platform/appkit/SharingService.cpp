#include "platform/appkit/SharingService.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>
#include <mutex>

#include "platform/appkit/QtSupport.h"

namespace platform::appkit {

namespace {

struct Overrides {
  std::mutex mutex;
  SharingService::Composer composer;
  std::optional<bool> available;
};

Overrides& overrides() {
  static auto* o = new Overrides();
  return *o;
}

bool mailProgramFound() { return !QStandardPaths::findExecutable("xdg-email").isEmpty(); }

bool composeWithMailProgram(const SharingService::Message& message) {
  QStringList args;
  args << "--utf8";
  if (!message.subject.empty()) args << "--subject" << qt::q(message.subject);
  if (!message.body.empty()) args << "--body" << qt::q(message.body);
  for (const auto& path : message.attachments) args << "--attach" << qt::q(path);
  for (const auto& to : message.recipients) args << qt::q(to);
  return QProcess::startDetached("xdg-email", args);
}

}  // namespace

std::shared_ptr<SharingService> SharingService::sharingServiceNamed(const std::string& name) {
  if (name != kSharingServiceNameComposeEmail) return nullptr;
  std::optional<bool> available;
  {
    std::lock_guard<std::mutex> lock(overrides().mutex);
    available = overrides().available;
  }
  if (!available.value_or(mailProgramFound())) return nullptr;
  return std::make_shared<SharingService>();
}

bool SharingService::performWithItems(const std::vector<std::string>& items) {
  Message message;
  message.recipients = recipients_;
  message.subject = subject_;
  std::vector<std::string> lines;
  for (const auto& item : items) {
    const QUrl url(qt::q(item), QUrl::StrictMode);
    if (url.isValid() && url.isLocalFile()) {
      message.attachments.push_back(qt::s(url.toLocalFile()));
    } else {
      if (!message.body.empty() || !lines.empty()) message.body += "\n";
      message.body += item;
      lines.push_back(item);
    }
  }
  Composer composer;
  {
    std::lock_guard<std::mutex> lock(overrides().mutex);
    composer = overrides().composer;
  }
  return composer ? composer(message) : composeWithMailProgram(message);
}

void SharingService::setComposerForTesting(Composer composer) {
  std::lock_guard<std::mutex> lock(overrides().mutex);
  overrides().composer = std::move(composer);
}

void SharingService::setAvailableForTesting(std::optional<bool> available) {
  std::lock_guard<std::mutex> lock(overrides().mutex);
  overrides().available = available;
}

}  // namespace platform::appkit
