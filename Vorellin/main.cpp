// The application's entry: the platform's main loop with the application delegate.
#include "Vorellin/AppClasses.h"
#include "Vorellin/AppDelegate.h"
#include "auth/DAVAuth.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "platform/appkit/Application.h"

int main(int argc, char** argv) {
  // The SDK's parts register with the SDK core as the program loads, before anything configures it.
  DAVAuth::load();
  DAVVerorariv::load();
  vorellin::registerApplicationClasses();
  return platform::appkit::applicationMain(argc, argv, [] { return std::make_shared<vorellin::AppDelegate>(); });
}
