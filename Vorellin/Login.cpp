#include "Vorellin/Login.h"

#include <iostream>
#include <sstream>

#include "Vorellin/AppUtils.h"
#include "Vorellin/CloudCollections.h"
#include "Vorellin/DavedoveUtils.h"
#include "Vorellin/Main.h"
#include "Vorellin/ReplacePresentationAnimator.h"
#include "Vorellin/ViewSupport.h"
#include "Vorellin/VrlUserDefault.h"
#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVUser.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVFieldValue.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/SharingService.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Error.h"

namespace vorellin {

using platform::appkit::Object;

size_t characterCount(const std::string& utf8) {
  size_t n = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

Login::Login() : db(DAVVerorariv::verorariv()) {
  registerAction("btnLogin:", [this](Object*) { btnLogin(); });
  registerAction("passwordRevealClick:", [this](Object*) { passwordRevealClick(); });
  registerAction("forgotPassword:", [this](Object*) { forgotPassword(); });
  registerAction("download:", [this](Object*) { download(); });
  registerAction("btnSupport:", [this](Object*) { btnSupport(); });
  registerAction("btnQuit:", [this](Object*) { btnQuit(); });
}

void Login::bindOutlets() {
  auto v = view();
  boxLogin = v->find<platform::appkit::Box>("boxLogin");
  boxLoading = v->find<platform::appkit::Box>("boxLoading");
  inputEmail = v->find<platform::appkit::TextField>("inputEmail");
  btnPasswordReveal = v->find<platform::appkit::Button>("btnPasswordReveal");
  inputPasswordNormal = v->find<platform::appkit::TextField>("inputPasswordNormal");
  inputPasswordField = v->find<platform::appkit::SecureTextField>("inputPasswordField");
  btnLoginOutlet = v->find<platform::appkit::Button>("btnLoginOutlet");
}

void Login::viewDidLoad() {
  bindOutlets();
  AppUtils::showMainWindow();
  if (btnLoginOutlet)
    btnLoginOutlet->setAttributedTitle(
        {"Log in", platform::appkit::Color::black(), platform::appkit::TextAlignment::Center});
}

void Login::viewDidAppear() {
  if (!window) window = ViewController::window();
  prepareWindow(window);
}

void Login::showForm() {
  if (boxLogin) boxLogin->setHidden(false);
  if (boxLoading) boxLoading->setHidden(true);
}

void Login::btnLogin() {
  const std::string email = inputEmail ? inputEmail->stringValue() : "";
  // The field on screen holds what the user typed last.
  auto visiblePassword = passwordRevealState ? inputPasswordNormal : inputPasswordField;
  const std::string password = visiblePassword ? visiblePassword->stringValue() : "";
  if (characterCount(email) < 6 || characterCount(password) < 6) {
    showAlert("Email or Password length too short", "Ok");
    return;
  }
  if (boxLogin) boxLogin->setHidden(true);
  if (boxLoading) boxLoading->setHidden(false);
  std::cout << "Sign in" << std::endl;
  std::weak_ptr<Login> weak = std::static_pointer_cast<Login>(shared_from_this());
  DAVAuth::auth()->signInWithEmail(email, password, [weak](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr error) {
    auto self = weak.lock();
    if (!self) return;
    if (error) {
      self->showForm();
      std::string message;
      switch (error->code()) {
        case 17008:
        case 17011:
        case 17034:
          message = "Email not found. Check for typos?";
          break;
        case 17009:
          message = "Wrong password. Check for typos?";
          break;
        default:
          message = "There was an error while login. Error message: " + error->localizedDescription();
      }
      showAlert(message, "Ok");
      return;
    }
    // Whoever signs in here has a lock of their own: a PIN held from before may be another user's.
    VrlUserDefault::shared().userChanged();
    // The collections open at launch; a window shown before that still finds the user.
    if (!CloudCollections::shared().userCollection()) CloudCollections::shared().openCloudCollections();
    DavedoveUtils::getUserInfoOnce([self](std::shared_ptr<DAVDocumentSnapshot> document, platform::ErrorPtr error) {
      self->onUserInfo(document, error);
    });
  });
}

void Login::onUserInfo(const std::shared_ptr<DAVDocumentSnapshot>& document, const platform::ErrorPtr& error) {
  if (error || !document) {
    if (error) {
      showAlert("There was an error while log in", "Ok", error->localizedDescription());
    } else {
      showAlert("User data not found", "Ok");
    }
    platform::ErrorPtr ignored;
    DAVAuth::auth()->signOut(&ignored);
    // The form comes back, so the user can try again.
    showForm();
    return;
  }
  // A missing or malformed "devices" counts as an empty list.
  std::vector<std::string> models;
  std::optional<DAVValue::Map> data = document->data();
  const DAVValue* devices = data ? (data->count("devices") ? &data->at("devices") : nullptr) : nullptr;
  if (devices && devices->asArray()) {
    for (const DAVValue& device : *devices->asArray()) {
      if (!device.asMap()) continue;
      const DAVValue* model = device.find("model");
      models.push_back(model && model->asString() ? *model->asString() : "");
    }
  }
  std::ostringstream line;
  line << "models are [";
  for (size_t i = 0; i < models.size(); ++i) line << (i ? ", " : "") << '"' << models[i] << '"';
  line << "]";
  std::cout << line.str() << std::endl;
  if (std::find(models.begin(), models.end(), "macOS") == models.end()) {
    db->collectionWithPath(std::string("users"))
        ->documentWithPath(document->documentID())
        ->updateData({{"devices", DAVValue(DAVFieldValue::fieldValueForArrayUnion({DAVValue(deviceEntry())}))}});
  }
  presentStoryboardScene(shared_from_this(), "Vorellin");
}

void Login::passwordRevealClick() {
  const bool wasRevealed = passwordRevealState;
  passwordRevealState = !passwordRevealState;
  if (!wasRevealed) {
    if (inputPasswordNormal) inputPasswordNormal->setHidden(false);
    if (inputPasswordField) inputPasswordField->setHidden(true);
    if (inputPasswordNormal && inputPasswordField) inputPasswordNormal->setStringValue(inputPasswordField->stringValue());
    if (btnPasswordReveal) btnPasswordReveal->setImage(platform::appkit::Image::named("eyeON"));
  } else {
    if (inputPasswordNormal) inputPasswordNormal->setHidden(true);
    if (inputPasswordField) inputPasswordField->setHidden(false);
    if (inputPasswordNormal && inputPasswordField) inputPasswordField->setStringValue(inputPasswordNormal->stringValue());
    if (btnPasswordReveal) btnPasswordReveal->setImage(platform::appkit::Image::named("eyeOFF"));
  }
}

void Login::forgotPassword() { platform::appkit::Workspace::shared().openURL(kPasswordResetPage); }
void Login::download() { platform::appkit::Workspace::shared().openURL(kDownloadPage); }

void Login::btnSupport() {
  auto service = platform::appkit::SharingService::sharingServiceNamed(platform::appkit::kSharingServiceNameComposeEmail);
  if (!service) return;
  service->setRecipients({kSupportAddress});
  service->setSubject(kSupportSubject);
  std::shared_ptr<DAVUser> user = DAVAuth::auth()->currentUser();
  const std::string uid = user && user->uid() ? *user->uid() : "unknown";
  const std::string email = user && user->email() ? *user->email() : "unknown";
  service->performWithItems({"", kMailSeparator, "User ID: " + uid + ", Email: " + email});
}

void Login::btnQuit() {
  std::make_shared<Main>()->Service("unload");
  platform::appkit::Application::shared().terminate(this);
}

}  // namespace vorellin
