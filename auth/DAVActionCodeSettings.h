// Settings of an out-of-band e-mail action (password reset, e-mail verification, sign-in link).
#pragma once

#include <optional>
#include <string>

class DAVActionCodeSettings {
 public:
  // iOSBundleID starts as the main bundle's identifier; both flags start off.
  DAVActionCodeSettings();

  bool handleCodeInApp() const { return handleCodeInApp_; }
  void setHandleCodeInApp(bool v) { handleCodeInApp_ = v; }
  const std::optional<std::string>& URL() const { return URL_; }
  void setURL(std::optional<std::string> v) { URL_ = std::move(v); }
  const std::optional<std::string>& iOSBundleID() const { return iOSBundleID_; }
  void setIOSBundleID(std::optional<std::string> v) { iOSBundleID_ = std::move(v); }
  const std::optional<std::string>& androidPackageName() const { return androidPackageName_; }
  const std::optional<std::string>& androidMinimumVersion() const { return androidMinimumVersion_; }
  bool androidInstallIfNotAvailable() const { return androidInstallIfNotAvailable_; }
  void setAndroidPackageName(std::optional<std::string> androidPackageName, bool installIfNotAvailable,
                             std::optional<std::string> minimumVersion);
  const std::optional<std::string>& dynamicLinkDomain() const { return dynamicLinkDomain_; }
  void setDynamicLinkDomain(std::optional<std::string> v) { dynamicLinkDomain_ = std::move(v); }

 private:
  bool handleCodeInApp_ = false;
  bool androidInstallIfNotAvailable_ = false;
  std::optional<std::string> URL_;
  std::optional<std::string> iOSBundleID_;
  std::optional<std::string> androidPackageName_;
  std::optional<std::string> androidMinimumVersion_;
  std::optional<std::string> dynamicLinkDomain_;
};
