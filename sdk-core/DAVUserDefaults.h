// The standard user defaults of the running program, as the SDK reads and writes them.
#pragma once

#include <memory>

#include "platform/defaults/UserDefaults.h"

class DAVUserDefaults {
 public:
  // Domain: the main bundle's identifier, else the executable's file name.
  static std::shared_ptr<platform::UserDefaults> standardUserDefaults();
  // nullptr restores the default; tests point the SDK at a domain of their own.
  static void setStandardUserDefaultsForTesting(std::shared_ptr<platform::UserDefaults> defaults);
};
