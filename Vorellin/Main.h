// The main view of the application window, shown after sign-in.
#pragma once

#include <string>

#include "platform/appkit/ViewController.h"

namespace vorellin {

class Main : public platform::appkit::ViewController {
 public:
  std::string className() const override { return "Main"; }

  // "launchctl <command> -w <service property list>" as the user, whatever the log level; its output
  // is logged at verbose level.
  void Service(const std::string& command);
};

}  // namespace vorellin
