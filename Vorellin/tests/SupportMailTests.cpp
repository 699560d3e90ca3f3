// The support and bug-report mails from the main view and the sign-in view: a draft file with the
// identity lines (and the log files) when the desktop has no mail program, a mailto: link when it has.
#include <fstream>
#include <sstream>

#include "Vorellin/tests/AppViewTest.h"
#include "platform/appkit/SharingService.h"
#include "platform/foundation/Base64.h"
#include "platform/logging/LogFileManager.h"

namespace vorellin {
namespace {

using platform::appkit::Button;
using platform::appkit::SharingService;
using testing::AppViewTest;
using testing::kUserEmail;

class SupportMailTest : public AppViewTest {
 protected:
  void SetUp() override {
    AppViewTest::SetUp();
    toolDir_ = toolOverrideDir();
    setMailHandler("");
  }

  // What the desktop answers for the mailto: handler ("" for none).
  void setMailHandler(const std::string& handler) {
    const std::string path = toolDir_ + "/xdg-mime";
    std::ofstream(path) << "#!/bin/sh\nprintf '%s' " << platform::shellQuote(handler) << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  // Clicks and returns the draft written, checking that the user was told where it is.
  std::string clickForDraft(const std::shared_ptr<Button>& button) {
    alerts->clear();
    button->performClick();
    EXPECT_EQ(alertTexts(), std::vector<std::string>{"The message was saved as a draft."});
    const std::string path = SharingService::lastDraftPath();
    EXPECT_EQ(std::filesystem::path(path).parent_path().string(), SharingService::draftsDirectory());
    EXPECT_NE(alerts->alerts().at(0).informativeText.find(path), std::string::npos);
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::string toolDir_;
};

TEST_F(SupportMailTest, MainViewMailsAreDraftsWithTheIdentityAndTheBugReportCarriesTheLogs) {
  auto main = launchSignedIn();
  ASSERT_TRUE(main);
  const std::string expectedBody = "\r\n--------------\r\nUser ID: " + uid + "\r\nEmail: " + kUserEmail + "\r\n";

  const std::string support = clickForDraft(main->btnSupportOutlet);
  EXPECT_NE(support.find("To: support@trennelwick.com\r\n"), std::string::npos) << support;
  EXPECT_NE(support.find("Subject: Message from Vorellin user (macOS)\r\n"), std::string::npos);
  EXPECT_NE(support.find("X-Unsent: 1\r\n"), std::string::npos);
  EXPECT_EQ(support.substr(support.size() - expectedBody.size()), expectedBody);
  EXPECT_EQ(support.find("multipart"), std::string::npos);

  // The bug report: every log file of the file logger, in its order, then the same four lines.
  VRL_LOG_ERROR_AT(__FILE__, "test", __LINE__, "a line for the bug report");
  platform::logging::Log::shared().flush();
  const auto logs = AppDelegate::shared()->fileLogger->logFileManager()->sortedLogFilePaths();
  ASSERT_FALSE(logs.empty());
  main->btnMenuOutlet->performClick();
  const std::string report = clickForDraft(main->view()->find<Button>("btnReportBug"));
  EXPECT_NE(report.find("Subject: Bug report from Vorellin user (macOS)\r\n"), std::string::npos);
  EXPECT_NE(report.find("Content-Type: multipart/mixed"), std::string::npos);
  EXPECT_NE(report.find(expectedBody), std::string::npos);
  size_t at = 0;
  for (const auto& path : logs) {
    const std::string header = "filename=\"" + std::filesystem::path(path).filename().string() + "\"";
    size_t found = report.find(header, at);
    ASSERT_NE(found, std::string::npos) << header;
    at = found + header.size();
  }
  // The newest file's content, base64 as sent, holds the line just logged.
  const size_t body = report.find("\r\n\r\n", report.rfind("filename=\"" + std::filesystem::path(logs.front()).filename().string()));
  const size_t end = report.find("--", body);
  std::string base64;
  for (char c : report.substr(body, end - body))
    if (c != '\r' && c != '\n') base64 += c;
  auto decoded = platform::base64Decode(base64);
  ASSERT_TRUE(decoded);
  EXPECT_NE(decoded->find("a line for the bug report"), std::string::npos);

  // With a mail program on the desktop the support mail opens as a link instead.
  setMailHandler("mail-program.desktop");
  alerts->clear();
  main->btnMenuOutlet->performClick();
  main->view()->find<Button>("btnMenuBack")->performClick();
  main->btnSupportOutlet->performClick();
  EXPECT_EQ(alerts->count(), 0u);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], "mailto:support@trennelwick.com?subject=Message%20from%20Vorellin%20user%20%28macOS%29&body=%0D%0A"
                       "--------------%0D%0AUser%20ID%3A%20" + uid + "%0D%0AEmail%3A%20ann@vorellin.test");

  // Signed out behind the window's back: both mails say "unknown" for the user and the e-mail.
  platform::ErrorPtr error;
  ASSERT_TRUE(DAVAuth::auth()->signOut(&error));
  main->btnSupportOutlet->performClick();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_NE(opened[1].find("User%20ID%3A%20unknown%0D%0AEmail%3A%20unknown"), std::string::npos) << opened[1];
  main->btnMenuOutlet->performClick();
  EXPECT_NE(clickForDraft(main->view()->find<Button>("btnReportBug")).find("\r\nUser ID: unknown\r\nEmail: unknown\r\n"),
            std::string::npos);
}

TEST_F(SupportMailTest, SignInViewMailSaysUnknownWithoutAUserAndQuitUnloadsTheService) {
  launch();
  auto login = waitForContent<Login>();
  ASSERT_TRUE(login);
  const std::string draft = clickForDraft(login->view()->find<Button>("btnSupport"));
  EXPECT_NE(draft.find("Subject: Message from Vorellin user (macOS)\r\n"), std::string::npos);
  const std::string body = "\r\n--------------\r\nUser ID: unknown, Email: unknown\r\n";
  EXPECT_EQ(draft.substr(draft.size() - body.size()), body) << draft;

  // Quitting from the form unloads the application's service first.
  ASSERT_TRUE(platform::SimulatedMac::isJobLoaded("mac.com.trennelwick.vorellin.VorellinService"));
  login->view()->find<Button>("btnQuit")->performClick();
  EXPECT_EQ(exits, 1);
  EXPECT_FALSE(platform::SimulatedMac::isJobLoaded("mac.com.trennelwick.vorellin.VorellinService"));
}

}  // namespace
}  // namespace vorellin
