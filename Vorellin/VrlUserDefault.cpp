#include "Vorellin/VrlUserDefault.h"

#include "Vorellin/AppUtils.h"
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
  holdWhatIsInForce();
  if (!preferences->hasKey(keys::kBlockerMode)) {
    VRL_LOG_VERBOSE_AT(__FILE__, "blockerMode", __LINE__, "Error getting BlockerMode");
    return 0;
  }
  return preferences->integerForKey(keys::kBlockerMode);
}

bool VrlUserDefault::blockerState() const {
  holdWhatIsInForce();
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

bool VrlUserDefault::pinProtectState() const {
  holdWhatIsInForce();
  return preferences->boolForKey(keys::kPinProtect);
}

void VrlUserDefault::holdWhatIsInForce() const {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdWhatIsInForceLocked();
}

void VrlUserDefault::holdWhatIsInForceLocked() const {
  if (!preferences->readError()) {
    if (held_.empty()) return;
    // Someone else replaced the file: what it says now stands, what it lacks is written as held.
    const platform::UserDefaults file(preferences->domain());
    for (const std::string& key : held_)
      if (std::optional<platform::Value> value = file.objectForKey(key)) preferences->set(key, *value);
    preferences->synchronize();
    held_.clear();
    return;
  }
  const AppUtils::DnsInForce dns = AppUtils::dnsInForce();
  auto hold = [this](const char* key, platform::Value value) {
    // Held already, or changed in memory since the file was last read: that change stands. What was
    // last read is no one's change: what is in force takes its place.
    if (held_.count(key) ? preferences->objectForKey(key) == value : preferences->hasUnwrittenChange(key)) return;
    preferences->set(key, std::move(value));
    held_.insert(key);
  };
  hold(keys::kBlockerState, dns.protection);
  if (dns.mode) hold(keys::kBlockerMode, platform::Value(*dns.mode));
  hold(keys::kPinProtect, preferences->hasKey(keys::kPin) || !userPinAnswered_);
}

void VrlUserDefault::userPinAnswered() { userPinAnswered_ = true; }

void VrlUserDefault::forgetUserPinAnswer() { userPinAnswered_ = false; }

bool VrlUserDefault::userPinKnown() const {
  return userPinAnswered_ || !preferences->readError() || preferences->hasKey(keys::kPin);
}

void VrlUserDefault::resetForTesting() {
  std::lock_guard<std::mutex> lock(heldMutex_);
  held_.clear();
  userPinAnswered_ = false;
  preferences->resetForTesting();
}

void VrlUserDefault::writeReplacingUnreadable(const char* key, platform::Value value) const {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdWhatIsInForceLocked();
  held_.erase(key);
  preferences->set(key, std::move(value));
  if (preferences->synchronizeReplacingUnreadable()) held_.clear();
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
