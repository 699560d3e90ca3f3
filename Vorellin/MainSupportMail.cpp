// The support and bug-report mails of the main view: a new message to the support address in the
// user's mail program, with the user's identity and, for a bug report, the log files.
#include <filesystem>

#include "Vorellin/AppDelegate.h"
#include "Vorellin/Main.h"
#include "Vorellin/ViewSupport.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "platform/appkit/SharingService.h"
#include "platform/logging/LogFileManager.h"

namespace vorellin {

using platform::appkit::SharingService;

namespace {

// The four text items; without a signed-in user both values say "unknown", as the sign-in view does.
std::vector<std::string> identityItems(const std::string& missingEmail) {
  std::shared_ptr<DAVUser> user = DAVAuth::auth()->currentUser();
  const std::string uid = user ? user->uid().value_or("") : "unknown";
  const std::string email = user ? user->email().value_or(missingEmail) : "unknown";
  return {"", kMailSeparator, "User ID: " + uid, "Email: " + email};
}

std::shared_ptr<SharingService> composeService(const std::string& subject) {
  auto service = SharingService::sharingServiceNamed(platform::appkit::kSharingServiceNameComposeEmail);
  if (!service) return nullptr;
  service->setRecipients({kSupportAddress});
  service->setSubject(subject);
  return service;
}

}  // namespace

void Main::sendSupportMail() {
  auto service = composeService(kSupportSubject);
  if (!service) return;
  service->performWithItems(identityItems(""));
}

void Main::sendBugReport() {
  std::vector<std::string> items;
  auto delegate = AppDelegate::shared();
  if (delegate && delegate->fileLogger && delegate->fileLogger->logFileManager()) {
    for (const auto& path : delegate->fileLogger->logFileManager()->sortedLogFilePaths()) {
      std::error_code ec;
      if (std::filesystem::is_regular_file(path, ec)) items.push_back(SharingService::fileURLWithPath(path));
    }
  }
  auto service = composeService(kBugReportSubject);
  for (auto& item : identityItems("Unknown")) items.push_back(std::move(item));
  if (!service) return;
  service->performWithItems(items);
}

}  // namespace vorellin
