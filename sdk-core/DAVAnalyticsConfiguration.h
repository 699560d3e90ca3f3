// Shared analytics settings; its setters only post notifications for the analytics service.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Value.h"

inline constexpr const char kDAVAnalyticsConfigurationSetEnabledNotification[] =
    "DAVAnalyticsConfigurationSetEnabledNotification";
inline constexpr const char kDAVAnalyticsConfigurationSetMinimumSessionIntervalNotification[] =
    "DAVAnalyticsConfigurationSetMinimumSessionIntervalNotification";
inline constexpr const char kDAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification[] =
    "DAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification";
// User default: 1 enabled, 2 disabled.
inline constexpr const char kDAVAPersistedConfigMeasurementEnabledStateKey[] =
    "/variru/measurement/measurement_enabled_state";

class DAVAnalyticsConfiguration : public platform::Object {
 public:
  static std::shared_ptr<DAVAnalyticsConfiguration> sharedInstance();

  void setMinimumSessionInterval(double minimumSessionInterval);
  void setSessionTimeoutInterval(double sessionTimeoutInterval);
  void setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled);
  void setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled, bool persistSetting);

  // Posts the notification with this configuration as sender and {name: value}; nothing for an empty
  // name or a null value.
  void postNotificationName(const std::string& name, const platform::Value& value);
};
