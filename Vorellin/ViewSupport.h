// What the application's views share: modal alerts, the DNS request of a user action, settings
// writes, the device entry, the maker's addresses and the window preparation.
#pragma once

#include <memory>
#include <string>

#include "davedove/verorariv/api/DAVValue.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/foundation/Value.h"

namespace platform::appkit {
class Window;
}

namespace vorellin {

inline constexpr const char* kSupportAddress = "support@trennelwick.com";
inline constexpr const char* kDownloadPage = "https://www.trennelwick.com/vorellin/download";
inline constexpr const char* kPasswordResetPage = "https://www.trennelwick.com/vorellin/reset-password";
inline constexpr const char* kPlaceholderEmail = "user@trennelwick.com";
inline constexpr const char* kSupportSubject = "Message from Vorellin user (macOS)";
inline constexpr const char* kBugReportSubject = "Bug report from Vorellin user (macOS)";
inline constexpr const char* kMailSeparator = "--------------";

// A modal alert with one button; returns when it is dismissed.
void showAlert(const std::string& message, const std::string& button = "Ok", const std::string& informative = "",
               platform::appkit::AlertStyle style = platform::appkit::AlertStyle::Warning);

// A user action's DNS request: setDns with force on, clear off, queued on the DNS-transition queue
// and never awaited. The settings written before the call are what the queued run reads.
void requestUserDns(const std::string& caller, const char* file, int line);
#define VRL_REQUEST_DNS(caller) ::vorellin::requestUserDns(caller, __FILE__, __LINE__)

// A setting the user changed in the window, written into the settings store and synchronised at once.
// Over settings that cannot be read, this change is what replaces them (the unreadable file is kept
// aside and everything held in memory is written, what is in force included).
void writeSetting(const char* key, platform::Value value);

// "manufacturer" "Apple", "model" "macOS", "osVersion" major.minor of the running system.
DAVValue::Map deviceEntry();
std::string majorMinorOSVersion();

// The resizable bit off, then centred.
void prepareWindow(const std::shared_ptr<platform::appkit::Window>& window);

}  // namespace vorellin
