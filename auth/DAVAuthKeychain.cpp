#include "auth/DAVAuthKeychain.h"

#include <vector>

#include "auth/DAVAuthErrorUtils.h"
#include "platform/foundation/Exception.h"

namespace kc = platform::keychain;

namespace {

void checkKey(const std::string& key) {
  if (key.empty()) platform::raiseFormat(platform::kInvalidArgumentException, "%@", {"The key cannot be nil or empty."});
}

void setError(platform::ErrorPtr* out, platform::ErrorPtr error) {
  if (out) *out = std::move(error);
}

}  // namespace

DAVAuthKeychain::DAVAuthKeychain(std::string service) : DAVAuthKeychain(std::move(service), kc::Keychain::standard()) {}

DAVAuthKeychain::DAVAuthKeychain(std::string service, kc::Keychain keychain)
    : service_(std::move(service)), keychain_(std::move(keychain)) {}

kc::Query DAVAuthKeychain::currentQuery(const std::string& key) const {
  kc::Query q;
  q.service = service_;
  q.account = kDAVAuthKeychainAccountPrefix + key;
  return q;
}

kc::Query DAVAuthKeychain::legacyQuery(const std::string& key) {
  kc::Query q;
  q.account = key;
  return q;
}

std::optional<platform::Data> DAVAuthKeychain::itemWithQuery(const kc::Query& query, platform::ErrorPtr* error) const {
  std::vector<kc::Item> items;
  kc::Status status = keychain_.copyMatching(query, 2, &items);
  if (status == kc::kStatusItemNotFound) {
    setError(error, nullptr);
    return std::nullopt;
  }
  if (status != kc::kStatusSuccess || items.empty()) {
    setError(error, DAVAuthErrorUtils::keychainErrorWithFunction("SecItemCopyMatching", status));
    return std::nullopt;
  }
  if (items.size() == 1) {
    setError(error, nullptr);
    return items.front().data;
  }
  // More than one match: the store is ambiguous, so no item is trusted.
  setError(error, DAVAuthErrorUtils::keychainErrorWithFunction("SecItemCopyMatching", kc::kStatusSuccess));
  return std::nullopt;
}

bool DAVAuthKeychain::setItemWithQuery(const kc::Query& query, const platform::Data& data, platform::ErrorPtr* error) {
  kc::Item item;
  item.service = query.service.value_or("");
  item.account = query.account.value_or("");
  item.accessible = kDAVAuthKeychainAccessibleAfterFirstUnlockThisDeviceOnly;
  item.data = data;
  const char* function = "SecItemAdd";
  kc::Status status = keychain_.add(item);
  if (status == kc::kStatusDuplicateItem) {
    kc::Changes changes;
    changes.data = data;
    changes.accessible = item.accessible;
    function = "SecItemUpdate";
    status = keychain_.update(query, changes);
  }
  if (status != kc::kStatusSuccess) {
    setError(error, DAVAuthErrorUtils::keychainErrorWithFunction(function, status));
    return false;
  }
  return true;
}

bool DAVAuthKeychain::deleteItemWithQuery(const kc::Query& query, platform::ErrorPtr* error) {
  kc::Status status = keychain_.deleteItems(query);
  if (status == kc::kStatusSuccess || status == kc::kStatusItemNotFound) return true;
  setError(error, DAVAuthErrorUtils::keychainErrorWithFunction("SecItemDelete", status));
  return false;
}

void DAVAuthKeychain::deleteLegacyItemWithKey(const std::string& key) {
  if (legacyEntryDeletedForKey_.count(key)) return;
  keychain_.deleteItems(legacyQuery(key));
  legacyEntryDeletedForKey_.insert(key);
}

std::optional<platform::Data> DAVAuthKeychain::dataForKey(const std::string& key, platform::ErrorPtr* error) {
  checkKey(key);
  platform::ErrorPtr localError;
  auto data = itemWithQuery(currentQuery(key), &localError);
  if (localError) {
    setError(error, localError);
    return std::nullopt;
  }
  if (data) {
    setError(error, nullptr);
    return data;
  }
  setError(error, nullptr);
  if (legacyEntryDeletedForKey_.count(key)) return std::nullopt;
  auto legacy = itemWithQuery(legacyQuery(key), &localError);
  if (localError) {
    setError(error, localError);
    return std::nullopt;
  }
  if (!legacy) {
    legacyEntryDeletedForKey_.insert(key);
    return std::nullopt;
  }
  if (!setData(*legacy, key, &localError)) {
    // The old item stays, so a later read tries the move again.
    setError(error, localError);
    return std::nullopt;
  }
  deleteLegacyItemWithKey(key);
  return legacy;
}

bool DAVAuthKeychain::setData(const platform::Data& data, const std::string& key, platform::ErrorPtr* error) {
  checkKey(key);
  return setItemWithQuery(currentQuery(key), data, error);
}

bool DAVAuthKeychain::removeDataForKey(const std::string& key, platform::ErrorPtr* error) {
  checkKey(key);
  if (!deleteItemWithQuery(currentQuery(key), error)) return false;
  deleteLegacyItemWithKey(key);
  return true;
}
