#include "Vorellin/Loading.h"

#include <iostream>

#include "Vorellin/ReplacePresentationAnimator.h"
#include "Vorellin/ViewSupport.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "platform/appkit/Window.h"

namespace vorellin {

void Loading::viewDidAppear() {
  if (!window) window = ViewController::window();
  prepareWindow(window);
  handedOn_ = false;
  auto self = std::static_pointer_cast<Loading>(shared_from_this());
  handle = DAVAuth::auth()->addAuthStateDidChangeListener([self](std::shared_ptr<DAVAuth>, std::shared_ptr<DAVUser> user) {
    if (self->handedOn_) return;
    if (user) {
      std::cout << "Login not needed" << std::endl;
      std::shared_ptr<DAVUser> current = DAVAuth::auth()->currentUser();
      if (!current) return;
      // Only to have a fresh token in place; the main view does not wait for it.
      current->getIDTokenForcingRefresh(true, [](std::optional<std::string>, platform::ErrorPtr error) {
        if (error) std::cout << "Error getting token" << std::endl;
      });
      self->handedOn_ = true;
      presentStoryboardScene(self, "Vorellin");
    } else {
      std::cout << "Login started" << std::endl;
      self->handedOn_ = true;
      presentStoryboardScene(self, "Login");
    }
  });
}

void Loading::viewDidDisappear() {
  if (handle) DAVAuth::auth()->removeAuthStateDidChangeListener(*handle);
  handle.reset();
}

}  // namespace vorellin
