#include "Vorellin/LoginServiceKit.h"

#include <iostream>

#include "platform/servicemanagement/AppService.h"

namespace vorellin {
namespace {

std::string errorText(const platform::ErrorPtr& error) { return error ? error->description() : "unknown error"; }

}  // namespace

bool LoginServiceKit::isLoginItemEnabled(const std::string& identifier) {
  auto service = platform::AppService::loginItemServiceWithIdentifier(identifier);
  return service && service->status() == platform::AppService::Status::Enabled;
}

bool LoginServiceKit::addLoginItem(const std::string& identifier) {
  auto service = platform::AppService::loginItemServiceWithIdentifier(identifier);
  platform::ErrorPtr error;
  if (!service || !service->registerAndReturnError(&error)) {
    std::cout << "Failed to add login item: " << errorText(error) << std::endl;
    return false;
  }
  return true;
}

bool LoginServiceKit::removeLoginItem(const std::string& identifier) {
  auto service = platform::AppService::loginItemServiceWithIdentifier(identifier);
  platform::ErrorPtr error;
  if (!service || !service->unregisterAndReturnError(&error)) {
    std::cout << "Failed to remove login item: " << errorText(error) << std::endl;
    return false;
  }
  return true;
}

}  // namespace vorellin
