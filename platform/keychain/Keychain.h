#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform::keychain {

using Status = int32_t;
inline constexpr Status kStatusSuccess = 0;
inline constexpr Status kStatusItemNotFound = -25300;
inline constexpr Status kStatusDuplicateItem = -25299;
inline constexpr Status kStatusParam = -50;    // a query or item the store cannot take
inline constexpr Status kStatusIOError = -36;  // the keychain file could not be read or written

// One generic-password item. An empty service, account or access group means "not set".
struct Item {
  std::string service;
  std::string account;
  std::string accessGroup;
  std::string accessible;  // accessibility class, kept as given
  Data data;
  bool operator==(const Item& o) const {
    return service == o.service && account == o.account && accessGroup == o.accessGroup &&
           accessible == o.accessible && data == o.data;
  }
};

// Matches items whose attributes equal every attribute that is set here; unset ones match anything.
struct Query {
  std::optional<std::string> service;
  std::optional<std::string> account;
  std::optional<std::string> accessGroup;
};

// Attributes changed by update; unset ones stay as they are.
struct Changes {
  std::optional<std::string> service;
  std::optional<std::string> account;
  std::optional<std::string> accessGroup;
  std::optional<std::string> accessible;
  std::optional<Data> data;
};

// The generic-password store: one property-list file readable by its owner only (0600), in a
// folder of mode 0700, rewritten atomically under a lock (in-process and across processes). Every
// operation reads the file afresh, so several instances over one file see each other's writes.
class Keychain {
 public:
  explicit Keychain(std::string path);
  // $HOME/Library/Keychains/vorellin-keychain.plist, resolved at each call.
  static std::string defaultPath();
  // An instance over defaultPath() as it is now.
  static Keychain standard();

  const std::string& path() const { return path_; }

  // Duplicate: an item with the same service, account and access group exists.
  Status add(const Item& item);
  // limit 0: every match. ItemNotFound when nothing matches; matches come in insertion order.
  Status copyMatching(const Query& query, size_t limit, std::vector<Item>* out) const;
  // Changes every match; ItemNotFound when none; Duplicate when the change would make two items
  // share service, account and access group (nothing is changed then).
  Status update(const Query& query, const Changes& changes);
  // Removes every match; ItemNotFound when none.
  Status deleteItems(const Query& query);

 private:
  std::string path_;
};

}  // namespace platform::keychain
