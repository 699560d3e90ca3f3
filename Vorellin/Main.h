// The main view of the application window, shown after sign-in.
#pragma once

#include <string>

#include "platform/appkit/ViewController.h"

namespace vorellin {

class Main : public platform::appkit::ViewController {
 public:
  std::string className() const override { return "Main"; }

  // "launchctl <command> -w <service property list>" as the user; its output is the message of a
  // verbose log statement, so it runs only while verbose messages are let through.
  void Service(const std::string& command);
};

}  // namespace vorellin
