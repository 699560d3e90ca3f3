#include "Vorellin/DavedoveUtils.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iostream>

#include "Vorellin/CloudCollections.h"
#include "Vorellin/VrlUserDefault.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVFieldValue.h"
#include "davedove/verorariv/api/DAVQuery.h"
#include "davedove/verorariv/api/DAVQuerySnapshot.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/api/DAVWriteBatch.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/foundation/Error.h"
#include "platform/logging/Log.h"

namespace vorellin {

namespace cloudvalue {

std::optional<std::vector<std::string>> textList(const DAVValue* value) {
  const DAVValue::Array* array = value ? value->asArray() : nullptr;
  if (!array) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(array->size());
  for (const DAVValue& element : *array) {
    const std::string* text = element.asString();
    if (!text) return std::nullopt;
    out.push_back(*text);
  }
  return out;
}

std::vector<std::string> validAddresses(const std::vector<std::string>& list, std::vector<std::string>* dropped) {
  std::vector<std::string> out;
  for (const std::string& address : list) {
    unsigned char buffer[sizeof(in6_addr)];
    const bool valid = address.find('\0') == std::string::npos &&
                       (::inet_pton(AF_INET, address.c_str(), buffer) == 1 ||
                        ::inet_pton(AF_INET6, address.c_str(), buffer) == 1);
    (valid ? out : *dropped).push_back(address);
  }
  return out;
}

std::vector<std::string> validHttpsUrls(const std::vector<std::string>& list, std::vector<std::string>* dropped) {
  static const std::string kPrefix = "https://";
  std::vector<std::string> out;
  for (const std::string& url : list) {
    bool valid = url.size() > kPrefix.size() && url.compare(0, kPrefix.size(), kPrefix) == 0;
    for (unsigned char c : url) {
      if (c <= ' ' || c >= 0x7f || c == '"' || c == '\'' || c == '`' || c == '$' || c == '\\') valid = false;
    }
    (valid ? out : *dropped).push_back(url);
  }
  return out;
}

std::optional<int64_t> blockMode(const std::optional<DAVValue>& value) {
  const int64_t* mode = value ? value->asInteger() : nullptr;
  if (!mode || *mode < 0 || *mode > 2) return std::nullopt;
  return *mode;
}

}  // namespace cloudvalue

std::optional<std::string> DavedoveUtils::signedInUid() {
  std::shared_ptr<DAVAuth> auth = DAVAuth::auth();
  std::shared_ptr<DAVUser> user = auth ? auth->currentUser() : nullptr;
  if (!user) return std::nullopt;
  return user->uid().value_or("");
}

void DavedoveUtils::updateCurrentIp(const std::string& ip) {
  const std::optional<std::string> uid = signedInUid();
  if (!uid) return;
  auto collection = CloudCollections::shared().customBlacklistCollection();
  if (!collection) return;
  // A user without an id has no document to write.
  if (uid->empty()) return;
  std::shared_ptr<DAVDocumentReference> document = collection->documentWithPath(*uid);
  document->getDocumentWithCompletion([ip, document](std::shared_ptr<DAVDocumentSnapshot> snapshot,
                                                      platform::ErrorPtr error) {
    if (error || !snapshot) {
      std::cout << (error ? error->description() : std::string("no snapshot")) << std::endl;
      saveBlockMode({ip});
      return;
    }
    if (!snapshot->exists()) {
      saveBlockMode({ip});
      return;
    }
    // The mode the document holds is the cloud's own, the one a held mode may not write lower.
    if (std::optional<int64_t> mode = cloudvalue::blockMode(snapshot->valueForField(std::string("blockMode"))))
      VrlUserDefault::shared().cloudBlockModeHeard(*mode);
    std::optional<DAVValue> latest = snapshot->valueForField(std::string("latestIpAddress"));
    std::optional<std::vector<std::string>> listed = cloudvalue::textList(latest ? &*latest : nullptr);
    const bool add = !(listed && std::find(listed->begin(), listed->end(), ip) != listed->end());

    std::shared_ptr<DAVVerorariv> db = CloudCollections::shared().verorariv();
    std::shared_ptr<DAVWriteBatch> batch = db ? db->batch() : nullptr;
    const VrlUserDefault& settings = VrlUserDefault::shared();
    if (add && batch) {
      batch->updateData({{"latestIpAddress", DAVValue(DAVFieldValue::fieldValueForArrayUnion({DAVValue(ip)}))},
                         {"blockMode", DAVValue(settings.blockModeForCloud())}},
                        document);
    }
    std::optional<std::string> withdrawn = settings.previousIp();
    if (withdrawn && (withdrawn->empty() || *withdrawn == ip)) withdrawn.reset();
    if (withdrawn && batch) {
      batch->updateData({{"latestIpAddress", DAVValue(DAVFieldValue::fieldValueForArrayRemove({DAVValue(*withdrawn)}))},
                         {"blockMode", DAVValue(settings.blockModeForCloud())}},
                        document);
    }
    if ((!add && !withdrawn) || !batch) return;
    batch->commitWithCompletion([withdrawn](platform::ErrorPtr commitError) {
      if (commitError) {
        VRL_LOG_ERROR_AT(__FILE__, "updateCurrentIp(ip:)", __LINE__, commitError->localizedDescription());
        return;
      }
      if (!withdrawn) return;
      // A refresh may have moved a newer address into "previousIp" meanwhile; that one is still to withdraw.
      const std::shared_ptr<platform::UserDefaults>& store = VrlUserDefault::shared().preferences;
      if (store->stringForKey(keys::kPreviousIp) != withdrawn) return;
      store->removeObject(keys::kPreviousIp);
      store->synchronize();
    });
  });
}

void DavedoveUtils::saveBlockMode(const std::vector<std::string>& ips) {
  const std::optional<std::string> uid = signedInUid();
  if (!uid) return;
  const VrlUserDefault& settings = VrlUserDefault::shared();
  DAVValue::Map fields = {{"blockMode", DAVValue(settings.blockModeForCloud())}, {"userId", DAVValue(*uid)}};
  std::vector<std::string> list;
  if (settings.blockerState() && settings.customBlacklistState() && !settings.fenwixInEffect()) {
    std::copy_if(ips.begin(), ips.end(), std::back_inserter(list), [](const std::string& s) { return !s.empty(); });
  }
  if (!list.empty()) {
    DAVValue::Array elements;
    for (const auto& ip : list) elements.emplace_back(ip);
    fields["latestIpAddress"] = DAVValue(DAVFieldValue::fieldValueForArrayUnion(std::move(elements)));
  }
  auto collection = CloudCollections::shared().customBlacklistCollection();
  if (!collection || uid->empty()) return;
  collection->documentWithPath(*uid)->setData(fields, true);
}

void DavedoveUtils::getUserInfoOnce(DocumentCallback callback) {
  const std::optional<std::string> uid = signedInUid();
  if (!uid) return;
  auto users = CloudCollections::shared().userCollection();
  if (!users) return;
  users->queryWhereField("userId", DAVValue(*uid))
      ->getDocumentsWithCompletion([uid, callback](std::shared_ptr<DAVQuerySnapshot> snapshot, platform::ErrorPtr error) {
        if (error || !snapshot) {
          callback(nullptr, error);
          return;
        }
        // Several documents of one user: the one named after the uid, else the first in id order.
        std::shared_ptr<DAVDocumentSnapshot> chosen;
        for (const auto& document : snapshot->documents()) {
          if (!chosen || document->documentID() == *uid) chosen = document;
          if (document->documentID() == *uid) break;
        }
        callback(chosen, nullptr);
      });
}

void DavedoveUtils::onCustomBlacklistDocument(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                                              const platform::ErrorPtr& error,
                                              const std::function<void(bool)>& switchOn) {
  if (!error && snapshot && snapshot->exists()) {
    if (switchOn) switchOn(true);
    return;
  }
  platform::appkit::Alert alert;
  alert.messageText = kNoCustomBlacklistMessage;
  alert.buttons = {"Ok"};
  platform::appkit::AlertPresenter::shared()->runModal(alert);
}

}  // namespace vorellin
