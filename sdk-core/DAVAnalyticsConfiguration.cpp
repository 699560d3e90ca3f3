#include "sdk-core/DAVAnalyticsConfiguration.h"

#include "platform/foundation/NotificationCenter.h"
#include "sdk-core/DAVUserDefaults.h"

std::shared_ptr<DAVAnalyticsConfiguration> DAVAnalyticsConfiguration::sharedInstance() {
  static const auto instance = std::make_shared<DAVAnalyticsConfiguration>();
  return instance;
}

void DAVAnalyticsConfiguration::postNotificationName(const std::string& name, const platform::Value& value) {
  if (name.empty() || value.isNull()) return;
  platform::NotificationCenter::defaultCenter().post(name, this, platform::Dictionary{{name, value}});
}

void DAVAnalyticsConfiguration::setMinimumSessionInterval(double minimumSessionInterval) {
  postNotificationName(kDAVAnalyticsConfigurationSetMinimumSessionIntervalNotification,
                       platform::Value(minimumSessionInterval));
}

void DAVAnalyticsConfiguration::setSessionTimeoutInterval(double sessionTimeoutInterval) {
  postNotificationName(kDAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification,
                       platform::Value(sessionTimeoutInterval));
}

void DAVAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled) {
  setAnalyticsCollectionEnabled(analyticsCollectionEnabled, true);
}

void DAVAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled, bool persistSetting) {
  if (persistSetting) {
    auto defaults = DAVUserDefaults::standardUserDefaults();
    defaults->set(kDAVAPersistedConfigMeasurementEnabledStateKey,
                        platform::Value(static_cast<int64_t>(analyticsCollectionEnabled ? 1 : 2)));
    defaults->synchronize();
  }
  postNotificationName(kDAVAnalyticsConfigurationSetEnabledNotification, platform::Value(analyticsCollectionEnabled));
}
