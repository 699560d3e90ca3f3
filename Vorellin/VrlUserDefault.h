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
  // replaces the file (kept aside) with everything held in memory, what protection was held at included.
  void writeReplacingUnreadable(const char* key, platform::Value value) const;

  // What is known of the signed-in user's PIN: the PIN, "" when they have none, nullopt while neither
  // the cloud has answered for them nor the settings tell.
  std::optional<std::string> userPin() const;
  // What is known of the master PIN: the PIN, "" when there is none, nullopt while not known.
  std::optional<std::string> masterPin() const;
  bool userPinKnown() const { return userPin().has_value(); }
  // Told by the PIN listeners at each answer of the cloud (not at an error, nor at the local copy's
  // lack of a PIN).
  void userPinAnswered();
  void masterPinAnswered();
  // Whether the cloud has answered for both PINs since the process started or the user changed.
  bool pinsAnswered() const { return userPinAnswered_ && masterPinAnswered_; }
  // Told when another user may be signed in (the listeners follow another user, or someone signed in
  // through the form): the PIN held may be someone else's and opens nothing of theirs, and what the cloud
  // answered was about someone else.
  void userChanged();
  // The block mode the cloud records for the user. While the settings cannot be read and the custom
  // block list holds on, a stricter one raises the mode held (the cloud governs the mode only while the
  // list is on); true when it did. A weaker one waits for the file to read again.
  bool cloudBlockModeHeard(int64_t mode);
  // The block mode to write to the cloud. While the settings cannot be read, a held mode is no choice of
  // anyone's: the one the cloud last gave stands, and only without one is the held mode written.
  int64_t blockModeForCloud() const;

  // The encrypted-DNS option as DNS switching follows it: the switch, except after the proxy failed
  // while the settings could not be read. The fallback may not write the switch off then (that waits for
  // the file to read again, the switch stays held on), so it is recorded here instead.
  bool fenwixInEffect() const;
  // For the proxy's fallback: records it and returns true while the settings cannot be read; false
  // when they can, and the fallback writes the switch off itself.
  bool holdFenwixFallback();
  // While the settings cannot be read: whether what is held rests on something read in this run or
  // recognised in force. At a start over the damage with resolvers in force that are on no list known
  // yet, it rests on guesses alone: those resolvers may be a list the cloud moved, the custom block
  // list's among them, and nothing may take their place. True while the settings can be read.
  bool heldStateTold() const;

  // Forgets what is held and heard, and what the store read, as a new process starts; for tests.
  void resetForTesting();

  // The standard defaults of the application's domain, taken once.
  const std::shared_ptr<platform::UserDefaults> preferences;

 private:
  VrlUserDefault();
  // While the settings file cannot be read nothing there tells what protection is, and any reading
  // below the truth would let a change or an automatic request weaken it. Protection, the block mode, the
  // custom block list, the encrypted-DNS option and PIN protection are then held, each at the strictest
  // of what was last read, what is in force on the Mac and what the cloud says meanwhile, and they only
  // rise from then: a switch once on stays on (any DNS of the services' own is protection, the custom
  // block list's resolvers are the list, the proxy is the list and the option), the mode is the
  // strictest of the one last read, the strictest whose resolvers are in force and, while the custom
  // block list holds on, the cloud's record (with none of them, the strictest); PIN protection is on
  // while a PIN is known or may exist. A change of a person's waiting in memory stands. They are held
  // among the changes waiting in memory, so that whatever replaces the file keeps them; once it reads
  // again, what it lacks of them is written.
  void holdFailClosed() const;
  void holdFailClosedLocked() const;  // heldMutex_ held
  struct Held {
    bool blocker = false, customBlacklist = false, fenwix = false, pinProtect = false;
    std::optional<int64_t> mode;
    bool told = false;  // see heldStateTold()
  };
  mutable std::mutex heldMutex_;
  mutable std::optional<Held> heldState_;  // taken when the file was found unreadable, raised since
  mutable std::set<std::string> held_;      // keys holding a held value, not a change of anyone's
  mutable std::atomic<bool> fenwixFellBack_{false};
  std::atomic<bool> userPinAnswered_{false};
  std::atomic<bool> masterPinAnswered_{false};
  std::atomic<bool> userChanged_{false};
  std::atomic<int64_t> cloudBlockMode_{-1};
  bool boolSetting(const char* key, const char* getter, const char* missingText) const;
  std::optional<std::string> textSetting(const char* key, const char* getter, const char* missingText) const;
  std::vector<std::string> textList(const char* key) const;
};

}  // namespace vorellin
