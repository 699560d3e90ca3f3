#include "Vorellin/VrlUserDefault.h"

#include "platform/logging/Log.h"

namespace vorellin {

VrlUserDefault& VrlUserDefault::shared() {
  static VrlUserDefault instance;
  return instance;
}

VrlUserDefault::VrlUserDefault() : preferences(platform::UserDefaults::forDomain(kDefaultsDomain)) {}

bool VrlUserDefault::boolSetting(const char* key, const char* getter, const char* missingText) const {
  if (!preferences->hasKey(key)) {
    VRL_LOG_VERBOSE_AT(__FILE__, getter, __LINE__, missingText);
    return false;
  }
  return preferences->boolForKey(key);
}

std::optional<std::string> VrlUserDefault::textSetting(const char* key, const char* getter,
                                                       const char* missingText) const {
  if (!preferences->hasKey(key)) {
    VRL_LOG_VERBOSE_AT(__FILE__, getter, __LINE__, missingText);
    return std::nullopt;
  }
  return preferences->stringForKey(key);
}

// A value that is not a list of texts is treated as absent.
std::vector<std::string> VrlUserDefault::textList(const char* key) const {
  return preferences->stringArrayForKey(key).value_or(std::vector<std::string>{});
}

bool VrlUserDefault::customBlacklistState() const {
  return boolSetting(keys::kCustomBlacklist, "customBlacklistState", "Error getting CustomBlacklist");
}

bool VrlUserDefault::fenwixState() const {
  return boolSetting(keys::kFenwixState, "fenwixState", "Error getting FenwixState");
}

int64_t VrlUserDefault::blockerMode() const {
  if (!preferences->hasKey(keys::kBlockerMode)) {
    VRL_LOG_VERBOSE_AT(__FILE__, "blockerMode", __LINE__, "Error getting BlockerMode");
    return 0;
  }
  return preferences->integerForKey(keys::kBlockerMode);
}

bool VrlUserDefault::blockerState() const {
  return boolSetting(keys::kBlockerState, "blockerState", "Error getting BlockerState");
}

std::optional<std::string> VrlUserDefault::currentIp() const {
  return textSetting(keys::kCurrentIp, "currentIp", "Error getting currentIp");
}

std::optional<std::string> VrlUserDefault::previousIp() const {
  return textSetting(keys::kPreviousIp, "previousIp", "Error getting previousIp");
}

std::vector<std::string> VrlUserDefault::customBlacklistDns() const { return textList(keys::kCustomBlacklistDns); }

std::vector<std::string> VrlUserDefault::fenwixDnsUrls() const { return textList(keys::kFenwixDnsUrls); }

bool VrlUserDefault::UpdateInstalled() const {
  return boolSetting(keys::kUpdateInstalled, "UpdateInstalled", "Error getting UpdateInstalled");
}

std::vector<std::string> VrlUserDefault::getDnsPreferences(int64_t mode) const {
  for (const char* key : {keys::kNormal, keys::kExtreme, keys::kUltraExtreme}) {
    if (!preferences->hasKey(key)) {
      VRL_LOG_VERBOSE_AT(__FILE__, "getDnsPreferences(mode:)", __LINE__, "Error getDnsPreferences");
      return {};
    }
  }
  switch (mode) {
    case 0:
      return textList(keys::kNormal);
    case 1:
      return textList(keys::kExtreme);
    case 2:
      return textList(keys::kUltraExtreme);
    default:
      return {"empty", ""};
  }
}

std::string VrlUserDefault::getPin(const std::string& type) const {
  std::string key = type;
  if (!preferences->hasKey(key)) {
    VRL_LOG_VERBOSE_AT(__FILE__, "getPin(type:)", __LINE__, "Error getPin. Returning default - masterPin");
    key = keys::kMasterPin;
  }
  return preferences->stringForKey(key).value_or("");
}

}  // namespace vorellin
