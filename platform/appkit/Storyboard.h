// Storyboards: a folder <name>.storyboard in the bundle's resources holding Storyboard.plist and one
// Qt Designer interface file per view scene. Storyboard.plist:
//   InitialController  identifier of the window scene shown at launch
//   Scenes             identifier -> { Kind "window" | "view", Class, Interface (view scenes),
//                      Content, Title, Width, Height, StyleMask (window scenes) }
// Scene classes are made by factories registered under their class names.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/appkit/Responder.h"
#include "platform/foundation/Value.h"

namespace platform {
class Bundle;
}

namespace platform::appkit {

class ViewController;
class WindowController;

class Storyboard : public Object, public std::enable_shared_from_this<Storyboard> {
 public:
  // No bundle: the main bundle. Raises "NSInvalidArgumentException" when the bundle has no such
  // storyboard.
  static std::shared_ptr<Storyboard> storyboardWithName(const std::string& name,
                                                        const std::shared_ptr<Bundle>& bundle = nullptr);
  std::string className() const override { return "NSStoryboard"; }
  const std::string& name() const { return name_; }

  std::shared_ptr<WindowController> instantiateInitialController();
  // A view controller or a window controller; raises "NSInvalidArgumentException" for an unknown
  // identifier.
  std::shared_ptr<Responder> instantiateControllerWithIdentifier(const std::string& identifier);
  template <typename T>
  std::shared_ptr<T> instantiateController(const std::string& identifier) {
    return std::dynamic_pointer_cast<T>(instantiateControllerWithIdentifier(identifier));
  }

  using ViewControllerFactory = std::function<std::shared_ptr<ViewController>()>;
  using WindowControllerFactory = std::function<std::shared_ptr<WindowController>()>;
  static void registerViewControllerClass(const std::string& className, ViewControllerFactory factory);
  static void registerWindowControllerClass(const std::string& className, WindowControllerFactory factory);
  template <typename T>
  static void registerViewController(const std::string& className) {
    registerViewControllerClass(className, [] { return std::make_shared<T>(); });
  }
  template <typename T>
  static void registerWindowController(const std::string& className) {
    registerWindowControllerClass(className, [] { return std::make_shared<T>(); });
  }

 private:
  Storyboard(std::string name, std::string folder, Dictionary plist);
  std::shared_ptr<ViewController> makeViewScene(const std::string& identifier, const Dictionary& scene);
  std::shared_ptr<WindowController> makeWindowScene(const std::string& identifier, const Dictionary& scene);

  std::string name_;
  std::string folder_;
  Dictionary plist_;
};

}  // namespace platform::appkit
