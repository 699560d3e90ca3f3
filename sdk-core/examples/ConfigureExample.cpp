// Configures the SDK from the VariruService-Info.plist beside the program and looks up a component
// that a library registered beforehand.
#include <cstdio>

#include "sdk-core/DAVApp.h"

namespace {

class DAVGreeterProtocol {
 public:
  static constexpr const char kDAVProtocolName[] = "DAVGreeterProtocol";
  virtual ~DAVGreeterProtocol() = default;
  virtual std::string greeting() const = 0;
};

class DAVGreeter : public platform::Object, public DAVGreeterProtocol {
 public:
  explicit DAVGreeter(std::string projectID) : projectID_(std::move(projectID)) {}
  std::string greeting() const override { return "Hello from project " + projectID_; }

 private:
  std::string projectID_;
};

// What a service library offers the registry.
struct DAVGreeterLibrary {
  static std::vector<DAVComponentPtr> componentsToRegister() {
    return {DAVComponent::componentWithProtocol(
        DAVProtocol::of<DAVGreeterProtocol>(),
        [](DAVComponentContainer* container, bool* isCacheable) -> std::shared_ptr<platform::Object> {
          auto app = container->app();
          if (!app) return nullptr;
          *isCacheable = true;
          return std::make_shared<DAVGreeter>(app->options()->projectID().value_or("?"));
        })};
  }
};

}  // namespace

int main() {
  // One registration call per library, before configure().
  DAVApp::registerInternalLibrary(DAVLibrary::ofClass<DAVGreeterLibrary>("DAVGreeterLibrary"), "dav-greeter", "1.0.0");
  try {
    DAVApp::configure();
  } catch (const platform::Exception& e) {
    std::fprintf(stderr, "configure failed: %s\n", e.what());
    return 1;
  }
  auto app = DAVApp::defaultApp();
  auto greeter = DAVComponentType::instanceForProtocol<DAVGreeterProtocol>(app->container().get());
  if (!greeter) {
    std::fprintf(stderr, "no greeter registered\n");
    return 1;
  }
  std::printf("%s\n", greeter->greeting().c_str());
  std::printf("app: %s\n", app->name().c_str());
  std::printf("user agent: %s\n", DAVApp::davedoveUserAgent().c_str());
  return 0;
}
