// The application's entry: the platform's main loop with the application delegate.
#include "Vorellin/AppClasses.h"
#include "Vorellin/AppDelegate.h"
#include "platform/appkit/Application.h"

int main(int argc, char** argv) {
  vorellin::registerApplicationClasses();
  return platform::appkit::applicationMain(argc, argv, [] { return std::make_shared<vorellin::AppDelegate>(); });
}
