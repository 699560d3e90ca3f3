#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sdk-core/tests/SdkCoreTestSupport.h"

using sdkcoretest::SdkCoreTest;

namespace {

class TestServiceProtocol {
 public:
  static constexpr const char kDAVProtocolName[] = "TestServiceProtocol";
  virtual ~TestServiceProtocol() = default;
  virtual int value() const = 0;
};

class OtherProtocol {
 public:
  static constexpr const char kDAVProtocolName[] = "OtherProtocol";
  virtual ~OtherProtocol() = default;
};

class TestService : public platform::Object, public TestServiceProtocol, public DAVComponentLifecycleMaintainer {
 public:
  explicit TestService(int v) : v_(v) {}
  int value() const override { return v_; }
  void appWillBeDeleted(const std::shared_ptr<DAVApp>& app) override {
    ++deletions;
    deletedApp = app;
  }
  int deletions = 0;
  std::shared_ptr<DAVApp> deletedApp;

 private:
  int v_;
};

class PlainObject : public platform::Object {};

// A library whose components count how often their creation functions run.
struct Counters {
  std::atomic<int> created{0};
};

DAVLibraryPtr makeLibrary(const std::string& className, std::vector<DAVComponentPtr> components) {
  auto library = std::make_shared<DAVLibrary>();
  library->className = className;
  library->componentsToRegister = [components] { return components; };
  return library;
}

DAVComponentPtr serviceComponent(std::shared_ptr<Counters> counters, int value, bool cacheable,
                                 DAVInstantiationTiming timing = DAVInstantiationTimingLazy) {
  return DAVComponent::componentWithProtocol(
      DAVProtocol::of<TestServiceProtocol>(), timing, {DAVDependency::dependencyWithProtocol(DAVProtocol::of<OtherProtocol>())},
      [counters, value, cacheable](DAVComponentContainer*, bool* isCacheable) -> std::shared_ptr<platform::Object> {
        ++counters->created;
        *isCacheable = cacheable;
        return std::make_shared<TestService>(value);
      });
}

using DAVComponentContainerTest = SdkCoreTest;

TEST_F(DAVComponentContainerTest, LookupCachingAndUnknownProtocols) {
  auto cachedCounters = std::make_shared<Counters>();
  auto freshCounters = std::make_shared<Counters>();
  auto fresh = DAVComponent::componentWithProtocol(
      DAVProtocol::of<OtherProtocol>(), [freshCounters](DAVComponentContainer*, bool*) -> std::shared_ptr<platform::Object> {
        ++freshCounters->created;
        return std::make_shared<PlainObject>();  // does not conform: logged, still returned
      });
  DAVComponentContainer container(nullptr, {makeLibrary("LibA", {serviceComponent(cachedCounters, 1, true), fresh})});
  EXPECT_EQ(cachedCounters->created, 0);  // lazy

  auto first = DAVComponentType::instanceForProtocol<TestServiceProtocol>(&container);
  auto second = DAVComponentType::instanceForProtocol<TestServiceProtocol>(&container);
  ASSERT_TRUE(first);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->value(), 1);
  EXPECT_EQ(cachedCounters->created, 1);
  EXPECT_EQ(container.cachedInstances().size(), 1u);

  logs_.clear();
  auto a = container.instanceForProtocol(DAVProtocol::of<OtherProtocol>());
  auto b = container.instanceForProtocol(DAVProtocol::of<OtherProtocol>());
  ASSERT_TRUE(a);
  EXPECT_NE(a, b);  // not cacheable: a new instance every time
  EXPECT_EQ(freshCounters->created, 2);
  auto wrongKind = logs_.withCode("I-COR000030");
  ASSERT_EQ(wrongKind.size(), 2u);
  EXPECT_EQ(wrongKind[0].message,
            "An instance conforming to OtherProtocol was requested, but the instance provided does not conform to "
            "the protocol");
  // The typed lookup refuses the wrong kind.
  EXPECT_EQ(DAVComponentType::instanceForProtocol<OtherProtocol>(&container), nullptr);

  logs_.clear();
  DAVProtocol nobody("NobodyRegisteredThis", nullptr);
  EXPECT_EQ(container.instanceForProtocol(nobody), nullptr);
  EXPECT_TRUE(logs_.records().empty());
  EXPECT_EQ(DAVComponentType::instanceForProtocol(nobody, nullptr), nullptr);
}

TEST_F(DAVComponentContainerTest, CreationFunctionWithoutResultCachesNothing) {
  int calls = 0;
  auto empty = DAVComponent::componentWithProtocol(DAVProtocol::of<TestServiceProtocol>(),
                                                   [&calls](DAVComponentContainer*, bool* isCacheable) {
                                                     ++calls;
                                                     *isCacheable = true;
                                                     return std::shared_ptr<platform::Object>();
                                                   });
  DAVComponentContainer container(nullptr, {makeLibrary("LibEmpty", {empty})});
  EXPECT_EQ(container.instanceForProtocol(DAVProtocol::of<TestServiceProtocol>()), nullptr);
  EXPECT_EQ(container.instanceForProtocol(DAVProtocol::of<TestServiceProtocol>()), nullptr);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(container.cachedInstances().empty());
}

TEST_F(DAVComponentContainerTest, FirstRegistrantWinsADuplicateProtocol) {
  auto firstCounters = std::make_shared<Counters>();
  auto secondCounters = std::make_shared<Counters>();
  // Class names chosen so that any name-sorted set would put the second library first.
  auto zLibrary = makeLibrary("ZFirst", {serviceComponent(firstCounters, 1, true)});
  auto aLibrary = makeLibrary("ASecond", {serviceComponent(secondCounters, 2, true)});
  DAVComponentContainer container(nullptr, {zLibrary, aLibrary});

  auto instance = DAVComponentType::instanceForProtocol<TestServiceProtocol>(&container);
  ASSERT_TRUE(instance);
  EXPECT_EQ(instance->value(), 1);
  EXPECT_EQ(secondCounters->created, 0);
  auto duplicates = logs_.withCode("I-COR000029");
  ASSERT_EQ(duplicates.size(), 1u);
  EXPECT_EQ(duplicates[0].message,
            "Attempted to register protocol TestServiceProtocol, but it already has an implementation.");
  EXPECT_EQ(duplicates[0].service, "[Davedove/Core]");

  // The process-wide registrant list keeps registration order and holds a class once.
  std::vector<DAVLibraryPtr> set;
  DAVComponentContainer::registerAsComponentRegistrant(zLibrary, set);
  DAVComponentContainer::registerAsComponentRegistrant(aLibrary, set);
  DAVComponentContainer::registerAsComponentRegistrant(makeLibrary("ZFirst", {}), set);
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ(set[0], zLibrary);
}

TEST_F(DAVComponentContainerTest, EagerInstantiationFollowsTheTimingAndTheAppKind) {
  auto always = std::make_shared<Counters>();
  auto defaultOnly = std::make_shared<Counters>();
  auto makeRegistrants = [&] {
    return std::vector<DAVLibraryPtr>{
        makeLibrary("Always", {serviceComponent(always, 1, true, DAVInstantiationTimingAlwaysEager)}),
        makeLibrary("DefaultOnly",
                    {DAVComponent::componentWithProtocol(
                        DAVProtocol::of<OtherProtocol>(), DAVInstantiationTimingEagerInDefaultApp, {},
                        [defaultOnly](DAVComponentContainer*, bool* c) -> std::shared_ptr<platform::Object> {
                          ++defaultOnly->created;
                          *c = true;
                          return std::make_shared<PlainObject>();
                        })})};
  };
  DAVApp::configureWithName("notDefault", validOptions());
  DAVApp::configureWithOptions(validOptions());

  DAVComponentContainer named(DAVApp::appNamed("notDefault"), makeRegistrants());
  EXPECT_EQ(always->created, 1);
  EXPECT_EQ(defaultOnly->created, 0);
  EXPECT_EQ(named.cachedInstances().size(), 1u);
  named.instanceForProtocol(DAVProtocol::of<OtherProtocol>());
  EXPECT_EQ(defaultOnly->created, 1);  // made on first lookup instead

  DAVComponentContainer forDefault(DAVApp::defaultApp(), makeRegistrants());
  EXPECT_EQ(always->created, 2);
  EXPECT_EQ(defaultOnly->created, 2);
  EXPECT_EQ(forDefault.cachedInstances().size(), 2u);
}

TEST_F(DAVComponentContainerTest, RemovingCachedInstancesTellsOnlyCachedMaintainersOnce) {
  auto cachedCounters = std::make_shared<Counters>();
  std::shared_ptr<TestService> uncached;
  auto uncachedComponent = DAVComponent::componentWithProtocol(
      DAVProtocol::of<OtherProtocol>(), [&uncached](DAVComponentContainer*, bool*) -> std::shared_ptr<platform::Object> {
        uncached = std::make_shared<TestService>(9);
        return uncached;
      });
  DAVApp::configureWithName("teardown", validOptions());
  auto app = DAVApp::appNamed("teardown");
  DAVComponentContainer container(app, {makeLibrary("LibT", {serviceComponent(cachedCounters, 1, true), uncachedComponent})});

  auto cached = std::dynamic_pointer_cast<TestService>(container.instanceForProtocol(DAVProtocol::of<TestServiceProtocol>()));
  container.instanceForProtocol(DAVProtocol::of<OtherProtocol>());
  ASSERT_TRUE(cached && uncached);

  container.removeAllCachedInstances();
  EXPECT_EQ(cached->deletions, 1);
  EXPECT_EQ(cached->deletedApp, app);
  EXPECT_EQ(uncached->deletions, 0);
  EXPECT_TRUE(container.cachedInstances().empty());
  EXPECT_EQ(container.components().size(), 2u);

  container.removeAllCachedInstances();
  EXPECT_EQ(cached->deletions, 1);
  auto fresh = container.instanceForProtocol(DAVProtocol::of<TestServiceProtocol>());
  EXPECT_NE(fresh, cached);
  EXPECT_EQ(cachedCounters->created, 2);
}

TEST_F(DAVComponentContainerTest, ConcurrentLookupsShareOneCachedInstance) {
  auto counters = std::make_shared<Counters>();
  DAVComponentContainer container(nullptr, {makeLibrary("LibC", {serviceComponent(counters, 3, true)})});
  std::vector<std::shared_ptr<platform::Object>> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = container.instanceForProtocol(DAVProtocol::of<TestServiceProtocol>()); });
  }
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(container.cachedInstances().at("TestServiceProtocol"), seen[0]);
}

// Registered process-wide, as a service library would at start-up.
class RegisteredService : public platform::Object, public TestServiceProtocol, public DAVComponentLifecycleMaintainer {
 public:
  int value() const override { return 42; }
  void appWillBeDeleted(const std::shared_ptr<DAVApp>& app) override { deletedApps.push_back(app->name()); }
  std::vector<std::string> deletedApps;
};

struct RegisteredLibrary {
  static std::vector<DAVComponentPtr> componentsToRegister() {
    return {DAVComponent::componentWithProtocol(
        DAVProtocol::of<TestServiceProtocol>(), [](DAVComponentContainer*, bool* isCacheable) -> std::shared_ptr<platform::Object> {
          *isCacheable = true;
          return std::make_shared<RegisteredService>();
        })};
  }
  static void configureWithApp(const std::shared_ptr<DAVApp>& app) { configured.push_back(app->name()); }
  static std::vector<std::string> configured;
};
std::vector<std::string> RegisteredLibrary::configured;

TEST_F(DAVComponentContainerTest, RegisteredLibrariesServeEveryConfiguredApp) {
  // Registering the same class again adds nothing (and resetApps has dropped the version, so it returns).
  DAVApp::registerInternalLibrary(DAVLibrary::ofClass<RegisteredLibrary>("RegisteredLibrary"), "dav-test", "1.0.0");
  DAVApp::registerInternalLibrary(DAVLibrary::ofClass<RegisteredLibrary>("RegisteredLibrary"), "dav-test", "1.0.0");
  RegisteredLibrary::configured.clear();
  DAVApp::configureWithOptions(validOptions());
  DAVApp::configureWithName("other", validOptions());

  EXPECT_EQ(RegisteredLibrary::configured, (std::vector<std::string>{"__DAVAPP_DEFAULT", "other"}));
  auto service = DAVComponentType::instanceForProtocol<TestServiceProtocol>(DAVApp::defaultApp()->container().get());
  ASSERT_TRUE(service);
  EXPECT_EQ(service->value(), 42);
  EXPECT_NE(service, DAVComponentType::instanceForProtocol<TestServiceProtocol>(DAVApp::appNamed("other")->container().get()));
  EXPECT_NE(DAVApp::davedoveUserAgent().find("dav-test/1.0.0"), std::string::npos);

  // Deleting an app tells its cached instance, once, and the next app of that name gets a fresh one.
  auto registered = std::dynamic_pointer_cast<RegisteredService>(service);
  ASSERT_TRUE(registered);
  DAVApp::defaultApp()->deleteApp([](bool) {});
  EXPECT_EQ(registered->deletedApps, (std::vector<std::string>{"__DAVAPP_DEFAULT"}));
  DAVApp::configureWithOptions(validOptions());
  auto again = DAVComponentType::instanceForProtocol<TestServiceProtocol>(DAVApp::defaultApp()->container().get());
  EXPECT_NE(again, service);
  EXPECT_EQ(registered->deletedApps.size(), 1u);
}

}  // namespace
