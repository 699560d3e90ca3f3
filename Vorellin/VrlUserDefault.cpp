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
  holdFailClosed();
  return boolSetting(keys::kCustomBlacklist, "customBlacklistState", "Error getting CustomBlacklist");
}

bool VrlUserDefault::fenwixState() const {
  holdFailClosed();
  return boolSetting(keys::kFenwixState, "fenwixState", "Error getting FenwixState");
}

int64_t VrlUserDefault::blockerMode() const {
  holdFailClosed();
  if (!preferences->hasKey(keys::kBlockerMode)) {
    VRL_LOG_VERBOSE_AT(__FILE__, "blockerMode", __LINE__, "Error getting BlockerMode");
    return 0;
  }
  return preferences->integerForKey(keys::kBlockerMode);
}

bool VrlUserDefault::blockerState() const {
  holdFailClosed();
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
  holdFailClosed();
  return preferences->boolForKey(keys::kPinProtect);
}

void VrlUserDefault::holdFailClosed() const {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdFailClosedLocked();
}

void VrlUserDefault::holdFailClosedLocked() const {
  if (!preferences->readError()) {
    heldState_.reset();
    fenwixFellBack_ = false;
    if (held_.empty()) return;
    // Someone else replaced the file: what it says now stands, what it lacks is written as held.
    const platform::UserDefaults file(preferences->domain());
    for (const std::string& key : held_)
      if (std::optional<platform::Value> value = file.objectForKey(key)) preferences->set(key, *value);
    preferences->synchronize();
    held_.clear();
    return;
  }
  if (!heldState_) {
    // Nothing is held yet: the store still reads what was last read (nothing, at a start over it). A
    // file read without a mode was in the normal mode.
    const bool read = preferences->wasEverRead();
    heldState_ = Held{preferences->boolForKey(keys::kBlockerState), preferences->boolForKey(keys::kCustomBlacklist),
                      preferences->boolForKey(keys::kFenwixState), preferences->boolForKey(keys::kPinProtect),
                      preferences->hasKey(keys::kBlockerMode) || read
                          ? std::optional<int64_t>(preferences->integerForKey(keys::kBlockerMode))
                          : std::nullopt,
                      read};
  }
  // The services' DNS is read only when what is held does not already say the most it can.
  std::optional<AppUtils::DnsInForce> dns;
  auto inForce = [&dns]() -> const AppUtils::DnsInForce& {
    if (!dns) dns = AppUtils::dnsInForce();
    return *dns;
  };
  auto hold = [this](const char* key, platform::Value value) {
    // A person's change waiting in memory (the file could not be replaced) stands.
    if (!held_.count(key) && preferences->hasUnwrittenChange(key)) return;
    held_.insert(key);
    if (preferences->objectForKey(key) != value) preferences->set(key, std::move(value));
  };
  // Once on, a switch stays on: a later reading that is off (the cloud moved the custom block list's
  // resolvers, say) only no longer recognises what is in force.
  Held& h = *heldState_;
  h.told = h.told || inForce().proxy || inForce().customBlacklist || inForce().mode;
  h.blocker = h.blocker || inForce().protection;
  h.customBlacklist = h.customBlacklist || inForce().customBlacklist || inForce().proxy;
  h.fenwix = h.fenwix || inForce().proxy;
  hold(keys::kBlockerState, h.blocker);
  hold(keys::kCustomBlacklist, h.customBlacklist);
  hold(keys::kFenwixState, h.fenwix);
  auto raise = [&h](std::optional<int64_t> mode) {
    if (mode && (!h.mode || *mode > *h.mode)) h.mode = mode;
  };
  if (!h.mode || *h.mode < 2) raise(inForce().mode);
  // An older record of the cloud's may be below the mode in force; it counts only as far as it raises.
  if (const int64_t cloudMode = cloudBlockMode_; cloudMode >= 0 && h.customBlacklist) raise(cloudMode);
  hold(keys::kBlockerMode, platform::Value(h.mode.value_or(2)));
  const std::optional<std::string> user = userPin(), master = masterPin();
  h.pinProtect = h.pinProtect || (user && !user->empty()) || (master && !master->empty());
  const bool noPinAtAll = user && master && user->empty() && master->empty();
  hold(keys::kPinProtect, h.pinProtect || !noPinAtAll);
}

std::optional<std::string> VrlUserDefault::userPin() const {
  const std::optional<std::string> stored = preferences->stringForKey(keys::kPin);
  if (userPinAnswered_) return stored.value_or("");
  if (userChanged_) return std::nullopt;
  if (stored && !stored->empty()) return stored;
  // A readable file without one tells there is none; an unreadable one tells nothing.
  if (!preferences->readError()) return std::string();
  return std::nullopt;
}

std::optional<std::string> VrlUserDefault::masterPin() const {
  const std::optional<std::string> stored = preferences->stringForKey(keys::kMasterPin);
  if (stored && !stored->empty()) return stored;
  if (masterPinAnswered_ || !preferences->readError()) return std::string();
  return std::nullopt;
}

void VrlUserDefault::userPinAnswered() { userPinAnswered_ = true; }

void VrlUserDefault::masterPinAnswered() { masterPinAnswered_ = true; }

void VrlUserDefault::userChanged() {
  userPinAnswered_ = false;
  userChanged_ = true;
  cloudBlockMode_ = -1;
  preferences->removeObject(keys::kPin);
}

bool VrlUserDefault::cloudBlockModeHeard(int64_t mode) {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdFailClosedLocked();
  cloudBlockMode_ = mode;
  if (!heldState_) return false;
  const int64_t before = heldState_->mode.value_or(-1);
  holdFailClosedLocked();
  return heldState_ && heldState_->mode.value_or(-1) != before;
}

int64_t VrlUserDefault::blockModeForCloud() const {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdFailClosedLocked();
  const int64_t cloudMode = cloudBlockMode_;
  if (heldState_ && held_.count(keys::kBlockerMode) && cloudMode >= 0) return cloudMode;
  return preferences->integerForKey(keys::kBlockerMode);
}

bool VrlUserDefault::fenwixInEffect() const { return fenwixState() && !fenwixFellBack_; }

bool VrlUserDefault::heldStateTold() const {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdFailClosedLocked();
  return !heldState_ || heldState_->told;
}

bool VrlUserDefault::holdFenwixFallback() {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdFailClosedLocked();
  if (!heldState_) return false;
  fenwixFellBack_ = true;
  return true;
}

void VrlUserDefault::resetForTesting() {
  std::lock_guard<std::mutex> lock(heldMutex_);
  held_.clear();
  heldState_.reset();
  fenwixFellBack_ = false;
  userPinAnswered_ = false;
  masterPinAnswered_ = false;
  userChanged_ = false;
  cloudBlockMode_ = -1;
  preferences->resetForTesting();
}

void VrlUserDefault::writeReplacingUnreadable(const char* key, platform::Value value) const {
  std::lock_guard<std::mutex> lock(heldMutex_);
  holdFailClosedLocked();
  held_.erase(key);
  // A person's choice of the option replaces what a fallback held for it.
  if (std::string(key) == keys::kFenwixState) fenwixFellBack_ = false;
  preferences->set(key, std::move(value));
  if (preferences->synchronizeReplacingUnreadable()) {
    held_.clear();
    heldState_.reset();
    fenwixFellBack_ = false;
  }
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
