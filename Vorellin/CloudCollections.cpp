#include "Vorellin/CloudCollections.h"

#include <algorithm>
#include <iostream>

#include "Vorellin/AppUtils.h"
#include "Vorellin/DavedoveUtils.h"
#include "Vorellin/VrlUserDefault.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/DAVQuery.h"
#include "davedove/verorariv/api/DAVQuerySnapshot.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/logging/Log.h"

namespace vorellin {
namespace {

constexpr const char* kCustomBlacklistCaller = "listenToCustomBlacklist(uid:)";
constexpr const char* kBlockModesCaller = "listenToDnsServerBlockModes(uid:)";
constexpr const char* kCustomDnsCaller = "listenToDnsServerCustomDns(uid:)";
constexpr const char* kPinCaller = "listenToPin(uid:)";

#define CLOUD_LOG(function, ...) VRL_LOG_VERBOSE_AT(__FILE__, function, __LINE__, __VA_ARGS__)

// Listener-driven changes are always applied: force on, never a clear.
void requestDns(const char* caller) {
  AppUtils::dnsTransitionQueue()->async([caller] { AppUtils::setDns(true, false, caller, __FILE__, __LINE__); });
}

std::string describe(const platform::ErrorPtr& error) {
  return error ? error->description() : std::string("no snapshot and no error");
}

platform::Value valueList(const std::vector<std::string>& list) {
  platform::Array out;
  out.reserve(list.size());
  for (const auto& s : list) out.emplace_back(s);
  return platform::Value(std::move(out));
}

// At most a few entries: a hostile list may hold thousands.
std::string joined(const std::vector<std::string>& list) {
  constexpr size_t kShown = 5;
  std::string out;
  for (size_t i = 0; i < list.size() && i < kShown; ++i) out += (i ? ", " : "") + list[i];
  if (list.size() > kShown) out += ", ... (" + std::to_string(list.size() - kShown) + " more)";
  return out;
}

platform::UserDefaults& store() { return *VrlUserDefault::shared().preferences; }

void tellTheWindow() { platform::NotificationCenter::defaultCenter().post(kCloudSettingsStoredNotification); }

const char* const kModeKeys[] = {keys::kNormal, keys::kExtreme, keys::kUltraExtreme};

}  // namespace

CloudCollections& CloudCollections::shared() {
  static CloudCollections* instance = new CloudCollections();  // lives as long as its listeners
  return *instance;
}

std::shared_ptr<DAVVerorariv> CloudCollections::verorariv() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mVerorariv;
}
std::shared_ptr<DAVCollectionReference> CloudCollections::userCollection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mVerorarivUser;
}
std::shared_ptr<DAVCollectionReference> CloudCollections::customBlacklistCollection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mVerorarivCustomBlacklist;
}
std::shared_ptr<DAVCollectionReference> CloudCollections::dnsServersCollection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mVerorarivDnsServers;
}
std::shared_ptr<DAVCollectionReference> CloudCollections::pinCollection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mVerorarivPin;
}
std::shared_ptr<DAVCollectionReference> CloudCollections::adminCollection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mVerorarivAdmin;
}

void CloudCollections::openCloudCollections() {
  std::shared_ptr<DAVVerorariv> db = DAVVerorariv::verorariv();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mVerorariv = db;
    mVerorarivUser = db->collectionWithPath(std::string("users"));
    mVerorarivCustomBlacklist = db->collectionWithPath(std::string("customBlacklist"));
    mVerorarivDnsServers = db->collectionWithPath(std::string("dnsServers"));
    mVerorarivPin = db->collectionWithPath(std::string("pin"));
    mVerorarivAdmin = db->collectionWithPath(std::string("admin"));
  }
  // The public-IP refresh registers through the cloud from now on (until now it had nowhere to write).
  AppUtils::setCurrentIpRegistration(&DavedoveUtils::updateCurrentIp);
  listenAllChanges();
}

void CloudCollections::resetForTesting() {
  for (auto* registration : {&userPinListenerRegistration, &masterPinListenerRegistration,
                             &dnsServerBlockModesListenerRegistration, &dnsServerCustomDnsListenerRegistration,
                             &customBlacklistListenerRegistration}) {
    if (*registration) (*registration)->remove();
    registration->reset();
  }
  if (pinsAskedAgain_) pinsAskedAgain_->cancel();
  pinsAskedAgain_.reset();
  queryListenersUid_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  mVerorariv.reset();
  mVerorarivUser.reset();
  mVerorarivCustomBlacklist.reset();
  mVerorarivDnsServers.reset();
  mVerorarivPin.reset();
  mVerorarivAdmin.reset();
}

void CloudCollections::listenAllChanges() {
  std::shared_ptr<DAVAuth> auth = DAVAuth::auth();
  std::shared_ptr<DAVUser> user = auth ? auth->currentUser() : nullptr;
  if (!user) {
    std::cout << "listenAllChanges - not logged in yet" << std::endl;
    return;
  }
  const std::string uid = user->uid().value_or("");
  // The user's PIN and custom-block-list queries are bound to the user who was signed in when they
  // were registered; after a sign-out another user on this computer gets listeners of their own
  // (the old ones could only fail on documents the new user may not read). What the cloud answered
  // about the previous user's PIN says nothing about the new user's.
  if ((userPinListenerRegistration || customBlacklistListenerRegistration) && queryListenersUid_ != uid) {
    std::cout << "listenAllChanges - signed-in user changed, following the new user's documents" << std::endl;
    for (auto* registration : {&userPinListenerRegistration, &customBlacklistListenerRegistration}) {
      if (*registration) (*registration)->remove();
      registration->reset();
    }
    VrlUserDefault::shared().userChanged();
  }
  queryListenersUid_ = uid;
  listenToCustomBlacklist(uid);
  listenToDnsServerBlockModes(uid);
  listenToDnsServerCustomDns(uid);
  listenToPin(uid);
}

void CloudCollections::listenToCustomBlacklist(const std::string& uid) {
  if (customBlacklistListenerRegistration) return;
  auto collection = customBlacklistCollection();
  if (!collection) return;
  customBlacklistListenerRegistration =
      collection->queryWhereField("userId", DAVValue(uid))->addSnapshotListener(&CloudCollections::onCustomBlacklist);
}

void CloudCollections::listenToDnsServerBlockModes(const std::string&) {
  if (dnsServerBlockModesListenerRegistration) return;
  auto collection = dnsServersCollection();
  if (!collection) return;
  dnsServerBlockModesListenerRegistration =
      collection->documentWithPath(std::string("blockModes"))->addSnapshotListener(&CloudCollections::onBlockModes);
}

void CloudCollections::listenToDnsServerCustomDns(const std::string&) {
  if (dnsServerCustomDnsListenerRegistration) return;
  auto collection = dnsServersCollection();
  if (!collection) return;
  dnsServerCustomDnsListenerRegistration =
      collection->documentWithPath(std::string("customDns"))->addSnapshotListener(&CloudCollections::onCustomDns);
}

void CloudCollections::listenToPin(const std::string& uid) {
  auto pin = pinCollection();
  auto admin = adminCollection();
  if (!userPinListenerRegistration && pin) {
    // Once its user has signed out, the listener only fails on documents that may no longer be read:
    // that is no answer for whoever is signed in now.
    userPinListenerRegistration = pin->queryWhereField("userId", DAVValue(uid))->addSnapshotListener(
        [uid](const std::shared_ptr<DAVQuerySnapshot>& snapshot, const platform::ErrorPtr& error) {
          if (DavedoveUtils::signedInUid() != uid) {
            CLOUD_LOG(kPinCaller, "Ignored for a user no longer signed in: "
                                      << (error ? describe(error) : std::string("a snapshot")));
            return;
          }
          onUserPin(snapshot, error);
        });
  }
  if (!masterPinListenerRegistration && admin) {
    masterPinListenerRegistration =
        admin->documentWithPath(std::string("masterPin"))->addSnapshotListener(&CloudCollections::onMasterPin);
  }
}

void CloudCollections::askForPinsLater() {
  if (pinsAskedAgain_ || VrlUserDefault::shared().pinsAnswered()) return;
  pinsAskedAgain_ = platform::dispatch::Queue::main()->after(kAskPinsAgainEvery, [] { shared().askForPins(); });
}

void CloudCollections::askForPins() {
  pinsAskedAgain_.reset();
  const std::optional<std::string> uid = DavedoveUtils::signedInUid();
  auto pin = pinCollection();
  auto admin = adminCollection();
  if (!uid || !pin || !admin || VrlUserDefault::shared().pinsAnswered()) return;
  pin->queryWhereField("userId", DAVValue(*uid))
      ->getDocumentsWithCompletion([uid](std::shared_ptr<DAVQuerySnapshot> snapshot, platform::ErrorPtr error) {
        if (DavedoveUtils::signedInUid() != uid) return;
        if (error || !snapshot) {
          shared().askForPinsLater();
          return;
        }
        onUserPin(snapshot, nullptr);
      });
  admin->documentWithPath(std::string("masterPin"))
      ->getDocumentWithCompletion([](std::shared_ptr<DAVDocumentSnapshot> snapshot, platform::ErrorPtr error) {
        // The master PIN missing from the local copy comes as an error.
        if (error || !snapshot) {
          shared().askForPinsLater();
          return;
        }
        onMasterPin(snapshot, nullptr);
      });
}

void CloudCollections::onUserPin(const std::shared_ptr<DAVQuerySnapshot>& snapshot, const platform::ErrorPtr& error) {
  VrlUserDefault& settings = VrlUserDefault::shared();
  if (error || !snapshot) {
    CLOUD_LOG(kPinCaller, "Error getting documents: " << describe(error));
    // No answer: the PIN lock keeps a usable PIN while the user's own cannot be read, never an empty one.
    const std::string master = settings.masterPin().value_or("");
    if (!master.empty()) store().set(keys::kPin, master);
    return;
  }
  bool anyPin = false;
  for (const auto& document : snapshot->documents()) {
    std::optional<DAVValue> pin = document->valueForField(std::string("pin"));
    if (!pin || !pin->asString()) {
      // No PIN of the user's own, as without a document: the master PIN guards.
      CLOUD_LOG(kPinCaller, "Ignoring pin document " << document->documentID() << ": \"pin\" is not a text");
      continue;
    }
    store().set(keys::kPin, *pin->asString());
    anyPin = true;
  }
  // A PIN the local copy holds may be used: knowing one only asks for more. Its lack is no answer of
  // the cloud's: the copy may be empty or old.
  if (!anyPin && snapshot->metadata().isFromCache()) {
    CLOUD_LOG(kPinCaller, "No PIN of the user in the local copy; waiting for the cloud's answer");
    shared().askForPinsLater();
    return;
  }
  // The cloud's documents hold no PIN of the user's: one heard before opens nothing any more.
  if (!anyPin && !snapshot->documents().empty()) store().removeObject(keys::kPin);
  settings.userPinAnswered();
  tellTheWindow();
}

void CloudCollections::onMasterPin(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                                   const platform::ErrorPtr& error) {
  if (error || !snapshot) {
    CLOUD_LOG(kPinCaller, "Document does not exist");
    return;
  }
  const std::optional<DAVValue> masterPin =
      snapshot->exists() ? snapshot->valueForField(std::string("masterPin")) : std::nullopt;
  const std::string* text = masterPin ? masterPin->asString() : nullptr;
  if (!text) {
    // A document without a text PIN is as none: no master PIN.
    CLOUD_LOG(kPinCaller, (snapshot->exists() ? "Ignoring the master PIN document: \"masterPin\" is not a text"
                                              : "Document does not exist"));
    // Missing from the local copy only: no answer of the cloud's.
    if (snapshot->metadata().isFromCache()) {
      CLOUD_LOG(kPinCaller, "No master PIN in the local copy; waiting for the cloud's answer");
      shared().askForPinsLater();
      return;
    }
    // The cloud's document holds no master PIN: one heard before opens nothing any more.
    if (snapshot->exists()) store().removeObject(keys::kMasterPin);
  } else {
    store().set(keys::kMasterPin, *text);
  }
  VrlUserDefault::shared().masterPinAnswered();
  tellTheWindow();
}

void CloudCollections::onBlockModes(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                                    const platform::ErrorPtr& error) {
  if (error || !snapshot) {
    CLOUD_LOG(kBlockModesCaller, "Error fetching document: " << describe(error));
    return;
  }
  std::optional<DAVValue::Map> data = snapshot->data();
  if (!data) {
    CLOUD_LOG(kBlockModesCaller, "Document data was empty.");
    return;
  }
  bool modeInUseChanged = false, anyStored = false;
  for (int64_t mode = 0; mode < 3; ++mode) {
    const char* key = kModeKeys[mode];
    // What is stored for this mode; an absent key is not an empty list, so the first snapshot stores
    // all three and the mode lookup, which needs all three, works from then on.
    const std::optional<std::vector<std::string>> stored = store().stringArrayForKey(key);
    // A mode the cloud no longer lists has no resolvers: the cloud may withdraw them. Switching
    // keeps the DNS in force while the mode in use has none.
    std::vector<std::string> wanted;
    auto field = data->find(key);
    if (field != data->end() && !field->second.asMap()) {
      CLOUD_LOG(kBlockModesCaller, "\"" << key << "\" is not a map: no resolver address");
    } else if (field != data->end()) {
      std::optional<std::vector<std::string>> list = cloudvalue::textList(field->second.find("ipv4"));
      if (!list) {
        CLOUD_LOG(kBlockModesCaller, "Ignoring \"" << key << "\": not a map with an \"ipv4\" list of texts");
        if (stored) continue;
      } else {
        std::vector<std::string> dropped;
        wanted = cloudvalue::validAddresses(*list, &dropped);
        if (!dropped.empty()) {
          CLOUD_LOG(kBlockModesCaller, "Dropped " << dropped.size() << " invalid resolver address(es) of \"" << key
                                                  << "\": " << joined(dropped));
        }
      }
    }
    if (stored && *stored == wanted) continue;
    store().set(key, valueList(wanted));
    anyStored = true;
    if (VrlUserDefault::shared().blockerMode() == mode) modeInUseChanged = true;
  }
  // Only once every list is stored: the DNS queue runs at once on its own thread, and the mode
  // lookup answers nothing while any of the three is missing.
  if (modeInUseChanged) requestDns(kBlockModesCaller);
  if (anyStored) tellTheWindow();
}

void CloudCollections::onCustomDns(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                                   const platform::ErrorPtr& error) {
  if (error || !snapshot) {
    CLOUD_LOG(kCustomDnsCaller, "Error fetching document: " << describe(error));
    return;
  }
  std::optional<DAVValue::Map> data = snapshot->data();
  if (!data) {
    CLOUD_LOG(kCustomDnsCaller, "Document data was empty.");
    return;
  }
  const VrlUserDefault& settings = VrlUserDefault::shared();
  auto readList = [&](const char* name) -> std::optional<std::vector<std::string>> {
    auto field = data->find(name);
    if (field == data->end()) return std::nullopt;
    std::optional<std::vector<std::string>> list = cloudvalue::textList(&field->second);
    if (!list) CLOUD_LOG(kCustomDnsCaller, "Ignoring \"" << name << "\": not a list of texts");
    return list;
  };

  if (std::optional<std::vector<std::string>> ipv4 = readList("ipv4")) {
    std::vector<std::string> dropped;
    std::vector<std::string> wanted = cloudvalue::validAddresses(*ipv4, &dropped);
    if (!dropped.empty())
      CLOUD_LOG(kCustomDnsCaller, "Dropped " << dropped.size() << " invalid resolver address(es): " << joined(dropped));
    if (wanted != settings.customBlacklistDns()) {
      store().set(keys::kCustomBlacklistDns, valueList(wanted));
      store().synchronize();
      if (settings.customBlacklistState() && !settings.fenwixInEffect()) requestDns(kCustomDnsCaller);
      tellTheWindow();
    }
  }

  std::optional<std::vector<std::string>> urls = readList("dnsOverHttps");
  if (!urls) return;
  std::vector<std::string> dropped;
  std::vector<std::string> wanted = cloudvalue::validHttpsUrls(*urls, &dropped);
  if (!dropped.empty())
    CLOUD_LOG(kCustomDnsCaller, "Dropped " << dropped.size() << " invalid encrypted-DNS URL(s): " << joined(dropped));
  if (wanted == settings.fenwixDnsUrls()) return;
  store().set(keys::kFenwixDnsUrls, valueList(wanted));
  store().synchronize();
  FenwixHelper::writeFenwixConfig();
  if (settings.customBlacklistState() && settings.fenwixInEffect()) requestDns(kCustomDnsCaller);
}

void CloudCollections::onCustomBlacklist(const std::shared_ptr<DAVQuerySnapshot>& snapshot,
                                         const platform::ErrorPtr& error) {
  if (error || !snapshot) {
    CLOUD_LOG(kCustomBlacklistCaller, "Error getting documents: " << describe(error));
    return;
  }
  VrlUserDefault& settings = VrlUserDefault::shared();
  for (const auto& document : snapshot->documents()) {
    std::optional<DAVValue> mode = document->valueForField(std::string("blockMode"));
    const std::optional<int64_t> value = cloudvalue::blockMode(mode);
    if (value) {
      // Over settings that cannot be read the cloud's mode only raises the one held.
      if (settings.cloudBlockModeHeard(*value)) requestDns(kCustomBlacklistCaller);
      if (store().readError()) tellTheWindow();
    }
    if (settings.customBlacklistState() && !store().readError()) {
      if (!value) {
        CLOUD_LOG(kCustomBlacklistCaller, "Ignoring \"blockMode\" of " << document->documentID() << ": "
                                              << (mode ? mode->ToString() : std::string("missing")));
      } else if (*value != settings.blockerMode()) {
        store().set(keys::kBlockerMode, *value);
        store().synchronize();
        requestDns(kCustomBlacklistCaller);
        tellTheWindow();
      }
    }
    if (settings.blockerState() && settings.customBlacklistState() && !settings.fenwixInEffect()) {
      std::optional<std::string> ip = settings.currentIp();
      if (!ip || ip->empty()) continue;
      std::optional<DAVValue> latest = document->valueForField(std::string("latestIpAddress"));
      std::optional<std::vector<std::string>> addresses = cloudvalue::textList(latest ? &*latest : nullptr);
      if (addresses && std::find(addresses->begin(), addresses->end(), *ip) != addresses->end()) continue;
      DavedoveUtils::updateCurrentIp(*ip);
    }
  }
}

}  // namespace vorellin
