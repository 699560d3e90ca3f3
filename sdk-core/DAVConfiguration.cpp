#include "sdk-core/DAVConfiguration.h"

std::shared_ptr<DAVConfiguration> DAVConfiguration::sharedInstance() {
  static const auto instance = std::make_shared<DAVConfiguration>();
  return instance;
}

DAVConfiguration::DAVConfiguration() : analyticsConfiguration_(DAVAnalyticsConfiguration::sharedInstance()) {}

void DAVConfiguration::setLoggerLevel(DAVLoggerLevel loggerLevel) { DAVSetLoggerLevel(loggerLevel); }
