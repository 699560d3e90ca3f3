// The authentication client's token interface, as the other services of the SDK see it, and the
// internal notification it posts when its current user's access token changes.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

// Posted on the main queue, sender the authentication client, whenever the current user's raw
// access token differs from the last one posted (sign-in, sign-out, user switch, token refresh).
inline constexpr const char kDAVAuthStateDidChangeInternalNotification[] =
    "DAVAuthStateDidChangeInternalNotification";
// User information: the DAVApp (while the client has one) ...
inline constexpr const char kDAVAuthStateDidChangeInternalNotificationAppKey[] =
    "DAVAuthStateDidChangeInternalNotificationAppKey";
// ... the new access token (only when not empty) ...
inline constexpr const char kDAVAuthStateDidChangeInternalNotificationTokenKey[] =
    "DAVAuthStateDidChangeInternalNotificationTokenKey";
// ... and the current user's uid (absent when signed out).
inline constexpr const char kDAVAuthStateDidChangeInternalNotificationUIDKey[] =
    "DAVAuthStateDidChangeInternalNotificationUIDKey";

// Called once, on the main queue: (token, none) on success, (none, error) on failure, and
// (none, none) when no user is signed in.
using DAVTokenCallback = std::function<void(std::optional<std::string> token, platform::ErrorPtr error)>;

class DAVAuthInterop {
 public:
  // The name under which component containers know this interface.
  static constexpr const char kDAVProtocolName[] = "DAVAuthInterop";

  virtual ~DAVAuthInterop() = default;

  // Returns at once; the current user's ID token arrives through the callback, refreshed first
  // when forced or close to expiry.
  virtual void getTokenForcingRefresh(bool forceRefresh, DAVTokenCallback callback) = 0;

  // The current user's uid, or none when signed out. Synchronous: while the client is still
  // loading the user it kept from an earlier run, this waits for that load (one keychain read).
  virtual std::optional<std::string> getUserID() = 0;
};
