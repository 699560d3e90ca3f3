// Read side of the application's settings. Writers set values on `preferences` directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/defaults/UserDefaults.h"

namespace vorellin {

inline constexpr const char* kDefaultsDomain = "mac.com.trennelwick.vorellin";

// Keys of the settings store.
namespace keys {
inline constexpr const char* kCustomBlacklist = "CustomBlacklist";
inline constexpr const char* kFenwixState = "FenwixState";
inline constexpr const char* kBlockerMode = "BlockerMode";
inline constexpr const char* kBlockerState = "BlockerState";
inline constexpr const char* kCurrentIp = "currentIp";
inline constexpr const char* kPreviousIp = "previousIp";
inline constexpr const char* kCustomBlacklistDns = "customBlacklistDns";
inline constexpr const char* kFenwixDnsUrls = "fenwixDnsUrls";
inline constexpr const char* kUpdateInstalled = "UpdateInstalled";
inline constexpr const char* kPinProtect = "PinProtect";
inline constexpr const char* kPin = "pin";
inline constexpr const char* kMasterPin = "masterPin";
inline constexpr const char* kNormal = "normal";
inline constexpr const char* kExtreme = "extreme";
inline constexpr const char* kUltraExtreme = "ultraExtreme";
}  // namespace keys

class VrlUserDefault {
 public:
  // Built on first use (thread-safe) and kept for the life of the process.
  static VrlUserDefault& shared();

  // Every getter reads the store afresh; a missing key gives the default and, for most keys, a
  // verbose log line naming the key.
  bool customBlacklistState() const;
  bool fenwixState() const;
  int64_t blockerMode() const;
  bool blockerState() const;
  std::optional<std::string> currentIp() const;
  std::optional<std::string> previousIp() const;
  std::vector<std::string> customBlacklistDns() const;
  std::vector<std::string> fenwixDnsUrls() const;
  bool UpdateInstalled() const;
  // "PinProtect", off when absent (no log).
  bool pinProtectState() const;

  // Resolver list of a block mode; empty when any mode list is missing, "empty", "" for an unknown mode.
  std::vector<std::string> getDnsPreferences(int64_t mode) const;
  // "pin" or "masterPin"; falls back to the master PIN, then to "".
  std::string getPin(const std::string& type) const;

  // A change a person made in the window, written at once. Over a settings file that cannot be read it
  // replaces the file (kept aside) with everything held in memory, what is in force included.
  void writeReplacingUnreadable(const char* key, platform::Value value) const;

  // Told by the listener of the user's PIN at each answer of the cloud.
  void userPinAnswered();
  // Told when the listeners follow another user: the answer was about the previous user's PIN.
  void forgetUserPinAnswer();
  // Whether the user's PIN is known: always while the settings read; over settings that cannot be read,
  // once it is held in memory or the cloud has answered (a missing one may only not be known yet).
  bool userPinKnown() const;

  // Forgets what is held and heard, and what the store read, as a new process starts; for tests.
  void resetForTesting();

  // The standard defaults of the application's domain, taken once.
  const std::shared_ptr<platform::UserDefaults> preferences;

 private:
  VrlUserDefault();
  // While the settings file cannot be read, protection state, block mode and PIN protection not changed
  // since read as what is in force rather than as what was last read or off: the DNS the network
  // services use, and PIN protection on while the cloud's PIN for the user is held or not yet known.
  // Protection reads on while the modes' resolvers are unknown, as nothing then tells it is off. They
  // are held among the changes waiting in memory, so that whatever replaces the file keeps them; once
  // it reads again, what it lacks of them is written.
  void holdWhatIsInForce() const;
  void holdWhatIsInForceLocked() const;  // heldMutex_ held
  mutable std::mutex heldMutex_;
  mutable std::set<std::string> held_;  // keys holding what was in force, not a change of anyone's
  std::atomic<bool> userPinAnswered_{false};
  bool boolSetting(const char* key, const char* getter, const char* missingText) const;
  std::optional<std::string> textSetting(const char* key, const char* getter, const char* missingText) const;
  std::vector<std::string> textList(const char* key) const;
};

}  // namespace vorellin
