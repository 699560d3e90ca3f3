#include "platform/utilities/AppEnvironmentUtil.h"

#include <string>

#include "platform/foundation/Bundle.h"

namespace platform {

bool VULAppEnvironmentUtil::isAppExtension() {
  auto bundle = Bundle::main();
  if (!bundle) return false;
  std::string path = bundle->bundlePath();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  static const std::string kSuffix = ".appex";
  return path.size() > kSuffix.size() && path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

}  // namespace platform
