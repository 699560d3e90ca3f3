#include "platform/appkit/Storyboard.h"

#include <mutex>

#include "platform/appkit/ViewController.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/WindowController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/PropertyList.h"

namespace platform::appkit {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, Storyboard::ViewControllerFactory> views{
      {"NSViewController", [] { return std::make_shared<ViewController>(); }}};
  std::map<std::string, Storyboard::WindowControllerFactory> windows{
      {"NSWindowController", [] { return std::make_shared<WindowController>(); }}};
};

Registry& registry() {
  static auto* r = new Registry();
  return *r;
}

std::string text(const Dictionary& d, const std::string& key, const std::string& fallback = "") {
  auto it = d.find(key);
  return it != d.end() && it->second.asString() ? *it->second.asString() : fallback;
}

double number(const Dictionary& d, const std::string& key, double fallback) {
  auto it = d.find(key);
  if (it == d.end()) return fallback;
  auto v = it->second.asReal();
  return v ? *v : fallback;
}

}  // namespace

Storyboard::Storyboard(std::string name, std::string folder, Dictionary plist)
    : name_(std::move(name)), folder_(std::move(folder)), plist_(std::move(plist)) {}

std::shared_ptr<Storyboard> Storyboard::storyboardWithName(const std::string& name,
                                                           const std::shared_ptr<Bundle>& bundle) {
  std::shared_ptr<Bundle> b = bundle ? bundle : Bundle::main();
  const std::string folder = (b ? b->resourcePath() : std::string(".")) + "/" + name + ".storyboard";
  std::optional<Value> plist = readPropertyListFile(folder + "/Storyboard.plist");
  if (!plist || !plist->asDictionary()) {
    throw Exception("NSInvalidArgumentException",
                    "Could not find a storyboard named '" + name + "' in bundle " + (b ? b->bundlePath() : "(none)"));
  }
  return std::shared_ptr<Storyboard>(new Storyboard(name, folder, *plist->asDictionary()));
}

void Storyboard::registerViewControllerClass(const std::string& className, ViewControllerFactory factory) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().views[className] = std::move(factory);
}

void Storyboard::registerWindowControllerClass(const std::string& className, WindowControllerFactory factory) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().windows[className] = std::move(factory);
}

std::shared_ptr<WindowController> Storyboard::instantiateInitialController() {
  const std::string initial = text(plist_, "InitialController");
  if (initial.empty()) return nullptr;
  return std::dynamic_pointer_cast<WindowController>(instantiateControllerWithIdentifier(initial));
}

std::shared_ptr<Responder> Storyboard::instantiateControllerWithIdentifier(const std::string& identifier) {
  const Value* scenes = nullptr;
  auto it = plist_.find("Scenes");
  if (it != plist_.end()) scenes = &it->second;
  const Value* scene = scenes ? scenes->find(identifier) : nullptr;
  if (!scene || !scene->asDictionary()) {
    throw Exception("NSInvalidArgumentException",
                    "Storyboard (" + name_ + ") doesn't contain a controller with identifier '" + identifier + "'");
  }
  const Dictionary& d = *scene->asDictionary();
  if (text(d, "Kind") == "window") return makeWindowScene(identifier, d);
  return makeViewScene(identifier, d);
}

std::shared_ptr<ViewController> Storyboard::makeViewScene(const std::string& identifier, const Dictionary& scene) {
  const std::string cls = text(scene, "Class", "NSViewController");
  ViewControllerFactory factory;
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto it = registry().views.find(cls);
    if (it != registry().views.end()) factory = it->second;
  }
  if (!factory)
    throw Exception("NSInvalidUnarchiveOperationException", "Unknown view controller class '" + cls + "' in storyboard");
  std::shared_ptr<ViewController> controller = factory();
  const std::string ui = text(scene, "Interface");
  controller->bindScene(shared_from_this(), identifier, ui.empty() ? "" : folder_ + "/" + ui);
  return controller;
}

std::shared_ptr<WindowController> Storyboard::makeWindowScene(const std::string& identifier, const Dictionary& scene) {
  const std::string cls = text(scene, "Class", "NSWindowController");
  WindowControllerFactory factory;
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto it = registry().windows.find(cls);
    if (it != registry().windows.end()) factory = it->second;
  }
  if (!factory)
    throw Exception("NSInvalidUnarchiveOperationException", "Unknown window controller class '" + cls + "' in storyboard");
  std::shared_ptr<WindowController> controller = factory();
  controller->setStoryboard(shared_from_this());
  const Rect frame(number(scene, "X", 0), number(scene, "Y", 0), number(scene, "Width", 480),
                   number(scene, "Height", 272));
  const uint64_t mask = uint64_t(number(scene, "StyleMask", WindowStyleMaskTitled | WindowStyleMaskClosable |
                                                                 WindowStyleMaskMiniaturizable));
  std::shared_ptr<Window> window = text(scene, "WindowClass") == "NSPanel"
                                       ? std::static_pointer_cast<Window>(Panel::make(frame, mask))
                                       : Window::make(frame, mask);
  window->setTitle(text(scene, "Title"));
  if (scene.find("X") == scene.end()) window->center();
  const std::string content = text(scene, "Content");
  if (!content.empty()) {
    auto found = std::dynamic_pointer_cast<ViewController>(instantiateControllerWithIdentifier(content));
    if (found) window->setContentViewController(found);
  }
  controller->setWindow(window);
  return controller;
}

}  // namespace platform::appkit
