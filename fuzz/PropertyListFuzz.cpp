// Property lists from files we do not control: the SDK options file and the user-defaults file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/defaults/UserDefaults.h"
#include "platform/foundation/PropertyList.h"
#include "sdk-core/DAVOptions.h"

namespace {
std::string gHome;
std::string gPreferences;
constexpr const char* kDomain = "mac.com.fuzz.defaults";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char home[] = "/tmp/vrl-fuzz-home-XXXXXX";
  if (!::mkdtemp(home)) std::abort();
  ::setenv("HOME", home, 1);
  gHome = home;
  gPreferences = gHome + "/Library/Preferences";
  std::filesystem::create_directories(gPreferences);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(gHome, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  std::string error;
  if (auto value = platform::parsePropertyList(bytes, &error)) {
    (void)platform::serializePropertyList(*value, platform::PlistFormat::Binary);
    (void)platform::serializePropertyList(*value, platform::PlistFormat::Xml);
    if (const platform::Dictionary* dictionary = value->asDictionary()) {
      auto options = DAVOptions::initInternalWithOptionsDictionary(*dictionary);
      if (options) {
        (void)options->APIKey();
        (void)options->variruAppID();
        (void)options->clientID();
        (void)options->trackingID();
      }
    }
  }

  // The same bytes as the settings file of a domain.
  const std::string path = gPreferences + "/" + kDomain + ".plist";
  { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }
  {
    platform::UserDefaults defaults(kDomain);
    (void)defaults.readError();
    for (const auto& [key, value] : defaults.dictionaryRepresentation()) {
      (void)defaults.boolForKey(key);
      (void)defaults.integerForKey(key);
      (void)defaults.doubleForKey(key);
      (void)defaults.stringForKey(key);
      (void)defaults.stringArrayForKey(key);
    }
  }
  return 0;
}
