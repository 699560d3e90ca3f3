// The sign-in view: e-mail and password, the reveal toggle, links to the maker's pages, a support
// mail and quitting. After sign-in it looks the user up, lists this Mac among the user's devices
// when no Mac is listed yet, and hands the window to the main view.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/View.h"
#include "platform/appkit/ViewController.h"

class DAVVerorariv;
class DAVDocumentSnapshot;

namespace platform {
class Error;
}
namespace platform::appkit {
class Window;
}

namespace vorellin {

class Login : public platform::appkit::ViewController {
 public:
  Login();
  std::string className() const override { return "Login"; }

  void viewDidLoad() override;
  void viewDidAppear() override;

  void btnLogin();
  void passwordRevealClick();
  void forgotPassword();
  void download();
  void btnSupport();
  void btnQuit();

  // The user-lookup step after a successful sign-in.
  void onUserInfo(const std::shared_ptr<DAVDocumentSnapshot>& document,
                  const std::shared_ptr<const platform::Error>& error);

  std::shared_ptr<platform::appkit::Box> boxLogin, boxLoading;
  std::shared_ptr<platform::appkit::TextField> inputEmail;
  std::shared_ptr<platform::appkit::Button> btnPasswordReveal;
  std::shared_ptr<platform::appkit::TextField> inputPasswordNormal;
  std::shared_ptr<platform::appkit::SecureTextField> inputPasswordField;
  bool passwordRevealState = false;
  std::shared_ptr<DAVVerorariv> db;
  std::shared_ptr<platform::appkit::Button> btnLoginOutlet;
  std::shared_ptr<platform::appkit::Window> window;

 private:
  void bindOutlets();
  void showForm();
};

// Characters as the user sees them (code points), not bytes.
size_t characterCount(const std::string& utf8);

}  // namespace vorellin
