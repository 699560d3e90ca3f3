// The application delegate's view of the cloud: the database, the collections it opened at start and
// the five listeners that copy the cloud settings into the settings store. One per process; all of
// it runs on the main thread except the reference getters, which any queue may call.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/Queue.h"

class DAVVerorariv;
class DAVCollectionReference;
class DAVListenerRegistration;
class DAVDocumentSnapshot;
class DAVQuerySnapshot;

namespace platform {
class Error;
}

namespace vorellin {

// Posted on the default notification centre, on the main thread, once a listener has stored what may
// change what the window shows: resolvers of the modes or of the custom block list, the block mode,
// the user's PIN (or the cloud's answer that there is none).
inline constexpr const char* kCloudSettingsStoredNotification = "VorellinCloudSettingsStored";

class CloudCollections {
 public:
  static CloudCollections& shared();

  // Takes the default app's database and opens "users", "customBlacklist", "dnsServers", "pin" and
  // "admin" (replacing the references held before), then listenAllChanges().
  void openCloudCollections();
  // Registers, for the signed-in user, the listeners that are not running yet.
  void listenAllChanges();
  void listenToCustomBlacklist(const std::string& uid);
  void listenToDnsServerBlockModes(const std::string& uid);
  void listenToDnsServerCustomDns(const std::string& uid);
  void listenToPin(const std::string& uid);

  // The local copy's lack of a PIN is no answer of the cloud's, and a listener is not called again
  // when the server only confirms what the copy showed: until the cloud has answered for both PINs,
  // it is asked again every kAskPinsAgainEvery.
  static constexpr std::chrono::seconds kAskPinsAgainEvery{5};
  void askForPinsLater();

  // Removes every listener and forgets the references; for tests, which run several applications in
  // one process.
  void resetForTesting();

  std::shared_ptr<DAVVerorariv> verorariv() const;
  std::shared_ptr<DAVCollectionReference> userCollection() const;
  std::shared_ptr<DAVCollectionReference> customBlacklistCollection() const;
  std::shared_ptr<DAVCollectionReference> dnsServersCollection() const;
  std::shared_ptr<DAVCollectionReference> pinCollection() const;
  std::shared_ptr<DAVCollectionReference> adminCollection() const;

  // The listener bodies, called by the database on the main queue.
  static void onUserPin(const std::shared_ptr<DAVQuerySnapshot>& snapshot, const std::shared_ptr<const platform::Error>& error);
  static void onMasterPin(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                          const std::shared_ptr<const platform::Error>& error);
  static void onBlockModes(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                           const std::shared_ptr<const platform::Error>& error);
  static void onCustomDns(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                          const std::shared_ptr<const platform::Error>& error);
  static void onCustomBlacklist(const std::shared_ptr<DAVQuerySnapshot>& snapshot,
                                const std::shared_ptr<const platform::Error>& error);

 private:
  CloudCollections() = default;

  mutable std::mutex mutex_;  // guards the references; the registrations are main-thread only
  std::shared_ptr<DAVVerorariv> mVerorariv;
  std::shared_ptr<DAVCollectionReference> mVerorarivUser;
  std::shared_ptr<DAVCollectionReference> mVerorarivCustomBlacklist;
  std::shared_ptr<DAVCollectionReference> mVerorarivDnsServers;
  std::shared_ptr<DAVCollectionReference> mVerorarivPin;
  std::shared_ptr<DAVCollectionReference> mVerorarivAdmin;

  std::shared_ptr<DAVListenerRegistration> userPinListenerRegistration;
  std::shared_ptr<DAVListenerRegistration> masterPinListenerRegistration;
  std::shared_ptr<DAVListenerRegistration> dnsServerBlockModesListenerRegistration;
  std::shared_ptr<DAVListenerRegistration> dnsServerCustomDnsListenerRegistration;
  std::shared_ptr<DAVListenerRegistration> customBlacklistListenerRegistration;
  // The user whose documents the two query listeners follow.
  std::string queryListenersUid_;
  platform::dispatch::WorkItemPtr pinsAskedAgain_;
  void askForPins();
};

}  // namespace vorellin
