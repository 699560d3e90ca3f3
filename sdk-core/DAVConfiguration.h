// Shared SDK configuration: the analytics configuration and the logger level.
#pragma once

#include <memory>

#include "sdk-core/DAVAnalyticsConfiguration.h"
#include "sdk-core/DAVLogger.h"

class DAVConfiguration {
 public:
  static std::shared_ptr<DAVConfiguration> sharedInstance();

  DAVConfiguration();

  std::shared_ptr<DAVAnalyticsConfiguration> analyticsConfiguration() const { return analyticsConfiguration_; }
  void setLoggerLevel(DAVLoggerLevel loggerLevel);

 private:
  std::shared_ptr<DAVAnalyticsConfiguration> analyticsConfiguration_;
};
