// The configuration of one backend project, read from the "VariruService-Info" property list or built
// in code. An app keeps a locked copy; every setter of locked options raises.
//
// Besides the keys of the configuration file, the service addresses are read from these keys, so one
// file can point the whole SDK at another backend (the local stand-in, say):
//   "IDENTITY_SERVICE_URL"     identity service base URL       default "https://identityservice.davedoveapis.com"
//   "SECURE_TOKEN_SERVICE_URL" secure-token service base URL   default "https://securetoken.davedoveapis.com"
//   "VERORARIV_HOST"           document database host:port     default "verorariv.davedoveapis.com:443"
//   "VERORARIV_SSL_ENABLED"    document database over TLS      default true
//   "PUBLIC_IP_ECHO_URLS"      the three public-IP echo URLs   default the three davedoveapis.com echoes
// Nothing in the SDK core reads them; they are for the service clients and the application.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

inline constexpr const char kDAVAPIKey[] = "API_KEY";
inline constexpr const char kDAVTrackingID[] = "TRACKING_ID";
inline constexpr const char kDAVVariruAppID[] = "VARIRU_APP_ID";
inline constexpr const char kDAVClientID[] = "CLIENT_ID";
inline constexpr const char kDAVGCMSenderID[] = "GCM_SENDER_ID";
inline constexpr const char kDAVAndroidClientID[] = "ANDROID_CLIENT_ID";
inline constexpr const char kDAVDatabaseURL[] = "DATABASE_URL";
inline constexpr const char kDAVStorageBucket[] = "STORAGE_BUCKET";
inline constexpr const char kDAVBundleID[] = "BUNDLE_ID";
inline constexpr const char kDAVProjectID[] = "PROJECT_ID";
inline constexpr const char kDAVIsAnalyticsEnabled[] = "IS_ANALYTICS_ENABLED";
inline constexpr const char kDAVIsSignInEnabled[] = "IS_SIGNIN_ENABLED";

inline constexpr const char kDAVIsMeasurementEnabled[] = "IS_MEASUREMENT_ENABLED";
inline constexpr const char kDAVIsAnalyticsCollectionEnabled[] = "DAVEDOVE_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char kDAVIsAnalyticsCollectionDeactivated[] = "DAVEDOVE_ANALYTICS_COLLECTION_DEACTIVATED";

inline constexpr const char kDAVIdentityServiceURL[] = "IDENTITY_SERVICE_URL";
inline constexpr const char kDAVSecureTokenServiceURL[] = "SECURE_TOKEN_SERVICE_URL";
inline constexpr const char kDAVVerorarivHost[] = "VERORARIV_HOST";
inline constexpr const char kDAVVerorarivSSLEnabled[] = "VERORARIV_SSL_ENABLED";
inline constexpr const char kDAVPublicIPEchoURLs[] = "PUBLIC_IP_ECHO_URLS";

inline constexpr const char kDAVServiceInfoFileName[] = "VariruService-Info";
inline constexpr const char kDAVServiceInfoFileType[] = "plist";
// Major digit, two-digit minor, two-digit patch, "000".
inline constexpr const char kDAVLibraryVersionID[] = "50401000";

class DAVOptions {
 public:
  // Made once from the default property list and kept; none when it is missing or malformed (a later
  // call tries again).
  static std::shared_ptr<DAVOptions> defaultOptions();
  static std::optional<platform::Dictionary> defaultOptionsDictionary();
  static std::optional<std::string> plistFilePathWithName(const std::string& fileName);
  static void resetDefaultOptions();

  // None (with a log) when the path is empty or the file is not a property-list dictionary.
  static std::shared_ptr<DAVOptions> initWithContentsOfFile(const std::string& plistPath);
  static std::shared_ptr<DAVOptions> initWithVariruAppID(const std::optional<std::string>& variruAppID,
                                                         const std::optional<std::string>& GCMSenderID);
  static std::shared_ptr<DAVOptions> initInternalWithOptionsDictionary(const platform::Dictionary& optionsDictionary);

  DAVOptions();

  // A deep copy: later changes to either never show in the other. The analytics cache is not copied.
  std::shared_ptr<DAVOptions> copy() const;

  std::optional<std::string> APIKey() const { return stringForKey(kDAVAPIKey); }
  void setAPIKey(const std::optional<std::string>& value) { setStringForKey(kDAVAPIKey, value); }
  std::optional<std::string> trackingID() const { return stringForKey(kDAVTrackingID); }
  void setTrackingID(const std::optional<std::string>& value) { setStringForKey(kDAVTrackingID, value); }
  std::optional<std::string> variruAppID() const { return stringForKey(kDAVVariruAppID); }
  void setVariruAppID(const std::optional<std::string>& value) { setStringForKey(kDAVVariruAppID, value); }
  std::optional<std::string> clientID() const { return stringForKey(kDAVClientID); }
  void setClientID(const std::optional<std::string>& value) { setStringForKey(kDAVClientID, value); }
  std::optional<std::string> GCMSenderID() const { return stringForKey(kDAVGCMSenderID); }
  void setGCMSenderID(const std::optional<std::string>& value) { setStringForKey(kDAVGCMSenderID, value); }
  std::optional<std::string> androidClientID() const { return stringForKey(kDAVAndroidClientID); }
  void setAndroidClientID(const std::optional<std::string>& value) { setStringForKey(kDAVAndroidClientID, value); }
  std::optional<std::string> databaseURL() const { return stringForKey(kDAVDatabaseURL); }
  void setDatabaseURL(const std::optional<std::string>& value) { setStringForKey(kDAVDatabaseURL, value); }
  std::optional<std::string> storageBucket() const { return stringForKey(kDAVStorageBucket); }
  void setStorageBucket(const std::optional<std::string>& value) { setStringForKey(kDAVStorageBucket, value); }
  std::optional<std::string> bundleID() const { return stringForKey(kDAVBundleID); }
  void setBundleID(const std::optional<std::string>& value) { setStringForKey(kDAVBundleID, value); }
  std::optional<std::string> projectID() const { return stringForKey(kDAVProjectID); }
  void setProjectID(const std::optional<std::string>& value) { setStringForKey(kDAVProjectID, value); }
  bool isAnalyticsEnabled() const;
  bool isSignInEnabled() const;

  // Service addresses (see the comment at the top).
  std::string identityServiceURL() const;
  std::string secureTokenServiceURL() const;
  std::string verorarivHost() const;
  bool isVerorarivSSLEnabled() const;
  std::vector<std::string> publicIPEchoURLs() const;
  // Whether one of the service URLs (identity, secure token, public-IP echoes) is plain http://, as
  // a stand-in of the backend on this machine may be.
  bool namesPlainHTTPService() const;

  std::optional<std::string> deepLinkURLScheme() const { return deepLinkURLScheme_; }
  void setDeepLinkURLScheme(const std::optional<std::string>& scheme);

  std::string libraryVersionID() const { return kDAVLibraryVersionID; }

  const platform::Dictionary& optionsDictionary() const { return optionsDictionary_; }
  void setOptionsDictionary(platform::Dictionary optionsDictionary);
  bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
  void setUsingOptionsFromDefaultPlist(bool value) { usingOptionsFromDefaultPlist_ = value; }
  bool isEditingLocked() const { return editingLocked_; }
  void setEditingLocked(bool locked) { editingLocked_ = locked; }
  // Raises "dav.uzazazov.core" when locked.
  void checkEditingLocked() const;

  // Analytics switches: the main bundle's Info.plist wins over the options.
  platform::Dictionary analyticsOptionsDictionary() const;
  platform::Dictionary analyticsOptionsDictionaryWithInfoDictionary(const platform::Dictionary& infoDictionary) const;
  bool isMeasurementEnabled() const;
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;
  bool isAnalyticsCollectionExpicitlySet() const;

  // Registers "dav-ios", "xcode" and "apple-sdk" with the app registry, once per process.
  static void registerLibrariesOnce();

 private:
  std::optional<std::string> stringForKey(const std::string& key) const;
  void setStringForKey(const std::string& key, const std::optional<std::string>& value);

  mutable std::mutex analyticsMutex_;
  mutable std::optional<platform::Dictionary> analyticsOptionsDictionary_;
  bool usingOptionsFromDefaultPlist_ = false;
  bool editingLocked_ = false;
  std::optional<std::string> deepLinkURLScheme_;
  platform::Dictionary optionsDictionary_;
};
