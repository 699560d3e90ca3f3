#include "auth/DAVActionCodeSettings.h"

#include "platform/foundation/Bundle.h"

DAVActionCodeSettings::DAVActionCodeSettings() {
  if (auto bundle = platform::Bundle::main()) iOSBundleID_ = bundle->bundleIdentifier();
}

void DAVActionCodeSettings::setAndroidPackageName(std::optional<std::string> androidPackageName,
                                                  bool installIfNotAvailable,
                                                  std::optional<std::string> minimumVersion) {
  androidPackageName_ = std::move(androidPackageName);
  androidInstallIfNotAvailable_ = installIfNotAvailable;
  androidMinimumVersion_ = std::move(minimumVersion);
}
