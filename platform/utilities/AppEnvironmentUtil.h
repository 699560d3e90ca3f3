// Checks on the environment the process runs in.
#pragma once

namespace platform {

class VULAppEnvironmentUtil {
 public:
  // True when the main bundle is an application extension (a folder named "*.appex").
  static bool isAppExtension();
};

}  // namespace platform
