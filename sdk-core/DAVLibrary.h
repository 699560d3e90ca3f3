// A service library as the registry sees it: the library's class name, the components it offers and,
// optionally, a hook run for every newly configured app. Each library makes one registration call
// (DAVApp::registerInternalLibrary) before the program configures the SDK.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "sdk-core/DAVComponent.h"

class DAVApp;

struct DAVLibrary {
  std::string className;
  std::function<std::vector<DAVComponentPtr>()> componentsToRegister;         // required
  std::function<void(const std::shared_ptr<DAVApp>& app)> configureWithApp;  // optional

  // For a class T with `static std::vector<DAVComponentPtr> componentsToRegister()` and, optionally,
  // `static void configureWithApp(const std::shared_ptr<DAVApp>&)`.
  template <class T>
  static std::shared_ptr<const DAVLibrary> ofClass(std::string className);

 private:
  template <class T, class = void>
  struct HasConfigureWithApp : std::false_type {};
  template <class T>
  struct HasConfigureWithApp<T, std::void_t<decltype(T::configureWithApp(std::declval<const std::shared_ptr<DAVApp>&>()))>>
      : std::true_type {};
};

using DAVLibraryPtr = std::shared_ptr<const DAVLibrary>;

template <class T>
std::shared_ptr<const DAVLibrary> DAVLibrary::ofClass(std::string className) {
  auto library = std::make_shared<DAVLibrary>();
  library->className = std::move(className);
  library->componentsToRegister = [] { return T::componentsToRegister(); };
  if constexpr (HasConfigureWithApp<T>::value) {
    library->configureWithApp = [](const std::shared_ptr<DAVApp>& app) { T::configureWithApp(app); };
  }
  return library;
}
