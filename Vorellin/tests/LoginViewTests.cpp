// The window from launch to the main view: the loading view's choice, the sign-in form with every
// error text, the reveal toggle, the user look-up and this Mac in the user's devices.
#include "Vorellin/tests/AppViewTest.h"

namespace vorellin {
namespace {

using testing::AppViewTest;
using testing::kUserEmail;
using testing::kUserPassword;

class LoginViewTest : public AppViewTest {
 protected:
  size_t signInRequests() { return backend().requestsForPath("/identityservice/v3/relyingparty/verifyPassword").size(); }

  // Clicks "Log in" and waits until the form is back or the main view came.
  void submitAndWait(const std::shared_ptr<Login>& login, const std::string& email, const std::string& password) {
    const size_t before = alerts->count();
    submitLogin(login, email, password);
    spin([&] { return alerts->count() > before || content<Main>() != nullptr; });
  }
};

TEST_F(LoginViewTest, SignInGivesEachErrorTextThenListsThisMacAndShowsTheMainView) {
  ::setenv("VRL_OS_VERSION", "14.2.1", 1);
  launch();
  auto login = waitForContent<Login>();
  ASSERT_TRUE(login);
  EXPECT_EQ(login->btnLoginOutlet->attributedTitle(),
            (platform::appkit::AttributedString{"Log in", platform::appkit::Color::black(),
                                                platform::appkit::TextAlignment::Center}));
  EXPECT_EQ(windowController->window()->styleMask() & platform::appkit::WindowStyleMaskResizable, 0u);
  login->inputEmail->setStringValue(kUserEmail);
  login->inputPasswordField->setStringValue("a password");
  spin([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_TRUE(windowController->window()->saveScreenshot(screenshotPath("login")));

  // Too short (characters, not bytes: "ä" is two bytes): no request at all.
  submitAndWait(login, "a@b.c", "longenough");
  submitAndWait(login, "ann@vorellin.test", "pässw");
  EXPECT_EQ(alertTexts(), (std::vector<std::string>{"Email or Password length too short",
                                                    "Email or Password length too short"}));
  EXPECT_EQ(alerts->alerts()[0].buttons, std::vector<std::string>{"Ok"});
  EXPECT_EQ(signInRequests(), 0u);
  alerts->clear();
  submitAndWait(login, "ä@b.cd", "päs.wd");  // six characters each
  EXPECT_EQ(signInRequests(), 1u);
  EXPECT_EQ(alertTexts(), std::vector<std::string>{"Email not found. Check for typos?"});
  EXPECT_FALSE(login->boxLogin->isHidden());
  EXPECT_TRUE(login->boxLoading->isHidden());

  alerts->clear();
  submitAndWait(login, kUserEmail, "wrong-password");
  submitAndWait(login, "off@vorellin.test", "off-password");
  ASSERT_EQ(alerts->count(), 2u);
  EXPECT_EQ(alerts->alerts()[0].messageText, "Wrong password. Check for typos?");
  // A disabled account is none of the mapped codes: the description follows the fixed text.
  const std::string prefix = "There was an error while login. Error message: ";
  EXPECT_EQ(alerts->alerts()[1].messageText.rfind(prefix, 0), 0u) << alerts->alerts()[1].messageText;
  EXPECT_GT(alerts->alerts()[1].messageText.size(), prefix.size());

  // Right password but no user document: an alert, signed out again, and the form is back.
  alerts->clear();
  submitAndWait(login, kUserEmail, kUserPassword);
  EXPECT_EQ(alertTexts(), std::vector<std::string>{"User data not found"});
  EXPECT_FALSE(DAVAuth::auth()->currentUser());
  EXPECT_FALSE(login->boxLogin->isHidden());
  EXPECT_TRUE(login->boxLoading->isHidden());

  // The password typed while revealed is the one that signs in.
  seedUserDocument(nlohmann::json::array({{{"model", "Windows"}, {"manufacturer", "Dell"}}, {{"manufacturer", "x"}}}));
  login->inputPasswordField->setStringValue("stale");
  login->btnPasswordReveal->performClick();
  EXPECT_TRUE(login->passwordRevealState);
  EXPECT_EQ(login->inputPasswordNormal->stringValue(), "stale");
  EXPECT_FALSE(login->inputPasswordNormal->isHidden());
  EXPECT_TRUE(login->inputPasswordField->isHidden());
  EXPECT_EQ(login->btnPasswordReveal->image()->name(), "eyeON");
  alerts->clear();
  submitAndWait(login, kUserEmail, kUserPassword);
  EXPECT_EQ(alertTexts(), std::vector<std::string>{});
  auto main = content<Main>();
  ASSERT_TRUE(main);
  EXPECT_EQ(main->txtUserEmail->stringValue(), kUserEmail);

  // This Mac joined the devices the user had.
  nlohmann::json devices;
  spin([&] {
    devices = backend().getDocument("users/" + uid)["fields"]["devices"];
    return devices.size() == 3;
  });
  ASSERT_EQ(devices.size(), 3u) << devices.dump();
  EXPECT_EQ(devices[2], (nlohmann::json{{"manufacturer", "Apple"}, {"model", "macOS"}, {"osVersion", "14.2"}}));
  ::unsetenv("VRL_OS_VERSION");
}

TEST_F(LoginViewTest, AFailedUserLookUpSignsOutAndBringsTheFormBackWithTheError) {
  // The sign-in works; the look-up of the user's document is refused.
  seedUserDocument(nlohmann::json::array());
  backend().documents().refuseQueriesOnForTesting("users");
  launch();
  auto login = waitForContent<Login>();
  ASSERT_TRUE(login);
  submitAndWait(login, kUserEmail, kUserPassword);
  ASSERT_EQ(alerts->count(), 1u);
  EXPECT_EQ(alerts->alerts()[0].messageText, "There was an error while log in");
  EXPECT_EQ(alerts->alerts()[0].informativeText, "Missing or insufficient permissions.");
  EXPECT_EQ(alerts->alerts()[0].buttons, std::vector<std::string>{"Ok"});
  EXPECT_FALSE(DAVAuth::auth()->currentUser());
  EXPECT_FALSE(login->boxLogin->isHidden());
  EXPECT_TRUE(login->boxLoading->isHidden());
  EXPECT_EQ(content<Login>(), login);
}

TEST_F(LoginViewTest, ListedMacAddsNothingAndTheNextStartSkipsTheForm) {
  seedUserDocument(nlohmann::json::array({{{"model", "macOS"}, {"osVersion", "13.1"}}}));
  const auto before = backend().getDocument("users/" + uid);
  launch();
  auto login = waitForContent<Login>();
  ASSERT_TRUE(login);
  submitAndWait(login, kUserEmail, kUserPassword);
  ASSERT_TRUE(content<Main>());
  settle();
  EXPECT_EQ(backend().getDocument("users/" + uid)["updateTime"], before["updateTime"]);

  // The next start finds the user still signed in and skips the form.
  relaunch();
  auto main = waitForContent<Main>();
  ASSERT_TRUE(main);
  EXPECT_EQ(main->txtUserEmail->stringValue(), kUserEmail);
}

TEST_F(LoginViewTest, MalformedDevicesCountAsEmptyAndTheLinksOpenTheMakersPages) {
  seedUserDocument("not a list");
  launch();
  auto login = waitForContent<Login>();
  ASSERT_TRUE(login);

  // Revealing twice gives back the masked field with what was typed in clear.
  login->btnPasswordReveal->performClick();
  login->inputPasswordNormal->setStringValue("typed in clear");
  login->btnPasswordReveal->performClick();
  EXPECT_FALSE(login->passwordRevealState);
  EXPECT_EQ(login->inputPasswordField->stringValue(), "typed in clear");
  EXPECT_TRUE(login->inputPasswordNormal->isHidden());
  EXPECT_EQ(login->btnPasswordReveal->image()->name(), "eyeOFF");

  login->view()->find<platform::appkit::Button>("btnForgotPassword")->performClick();
  login->view()->find<platform::appkit::Button>("btnDownload")->performClick();
  EXPECT_EQ(opened, (std::vector<std::string>{kPasswordResetPage, kDownloadPage}));

  submitLogin(login, kUserEmail, kUserPassword);
  ASSERT_TRUE(waitForContent<Main>());
  nlohmann::json devices;
  spin([&] {
    devices = backend().getDocument("users/" + uid)["fields"]["devices"];
    return devices.is_array();
  });
  ASSERT_EQ(devices.size(), 1u) << devices.dump();
  EXPECT_EQ(devices[0]["model"], "macOS");
}

}  // namespace
}  // namespace vorellin
