// The auth client's storage over the platform keychain: generic-password items whose service is the
// given service name and whose account is "davedove_auth_1_" + key. Items of the older scheme (account =
// key, no service) are moved to the current scheme the first time they are read.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "auth/DAVAuthStorage.h"
#include "platform/keychain/Keychain.h"

inline constexpr const char kDAVAuthKeychainAccountPrefix[] = "davedove_auth_1_";
inline constexpr const char kDAVAuthKeychainAccessibleAfterFirstUnlockThisDeviceOnly[] =
    "kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly";

class DAVAuthKeychain : public DAVAuthStorage {
 public:
  // Over the keychain at its default path (resolved now).
  explicit DAVAuthKeychain(std::string service);
  DAVAuthKeychain(std::string service, platform::keychain::Keychain keychain);

  const std::string& service() const { return service_; }

  // Each raises the invalid-argument exception when the key is empty.
  std::optional<platform::Data> dataForKey(const std::string& key, platform::ErrorPtr* error) override;
  bool setData(const platform::Data& data, const std::string& key, platform::ErrorPtr* error) override;
  bool removeDataForKey(const std::string& key, platform::ErrorPtr* error) override;

 private:
  platform::keychain::Query currentQuery(const std::string& key) const;
  static platform::keychain::Query legacyQuery(const std::string& key);
  std::optional<platform::Data> itemWithQuery(const platform::keychain::Query& query, platform::ErrorPtr* error) const;
  bool setItemWithQuery(const platform::keychain::Query& query, const platform::Data& data, platform::ErrorPtr* error);
  bool deleteItemWithQuery(const platform::keychain::Query& query, platform::ErrorPtr* error);
  void deleteLegacyItemWithKey(const std::string& key);

  const std::string service_;
  platform::keychain::Keychain keychain_;
  std::set<std::string> legacyEntryDeletedForKey_;  // keys whose old-scheme item is known to be gone
};
