// Shared set-up for the SDK core tests: a fresh home folder, a test application bundle and a log capture.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/PropertyList.h"
#include "platform/utilities/Logger.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVAppInternal.h"
#include "sdk-core/DAVUserDefaults.h"

namespace sdkcoretest {

inline constexpr const char kValidAppID[] = "1:123456789012:ios:0123456789abcdef";

class LogCapture {
 public:
  LogCapture() {
    token_ = platform::VULAddLogObserver([this](const platform::VULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
    });
  }
  ~LogCapture() { platform::VULRemoveLogObserver(token_); }
  std::vector<platform::VULLogRecord> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::vector<platform::VULLogRecord> withCode(const std::string& code) const {
    std::vector<platform::VULLogRecord> found;
    for (const auto& r : records()) {
      if (r.messageCode == code) found.push_back(r);
    }
    return found;
  }
  size_t count(const std::string& code) const { return withCode(code).size(); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::VULLogRecord> records_;
  platform::VULLogObserverToken token_ = 0;
};

// Each test gets its own home folder, user-defaults domain and main bundle, and a registry with no apps.
class SdkCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    root_ = std::filesystem::temp_directory_path() /
            ("sdkcore-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(root_ / "home");
    const char* oldHome = std::getenv("HOME");
    oldHome_ = oldHome ? oldHome : "";
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    DAVUserDefaults::setStandardUserDefaultsForTesting(std::make_shared<platform::UserDefaults>("com.example.sdkcoretests"));
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    DAVAppResetDataCollectionPlistSwitchForTesting();
    DAVSetLoggerLevel(DAVLoggerLevelDebug);
    useBundle(makeBundle("Test", "com.example.sdkcoretests", {}));
  }

  void TearDown() override {
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    DAVAppResetDataCollectionPlistSwitchForTesting();
    platform::Bundle::setMainBundleForTesting(nullptr);
    DAVUserDefaults::setStandardUserDefaultsForTesting(nullptr);
    DAVSetLoggerLevel(DAVLoggerLevelNotice);
    ::setenv("HOME", oldHome_.c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Makes Name.app/Contents/{Info.plist, Resources/} and returns its path.
  std::string makeBundle(const std::string& name, const std::string& identifier, platform::Dictionary info) {
    auto contents = root_ / (name + ".app") / "Contents";
    std::filesystem::create_directories(contents / "Resources");
    std::filesystem::create_directories(contents / "MacOS");
    if (!identifier.empty()) info["CFBundleIdentifier"] = identifier;
    EXPECT_TRUE(platform::writePropertyListFile((contents / "Info.plist").string(), platform::Value(info)));
    return (root_ / (name + ".app")).string();
  }

  void useBundle(const std::string& path) {
    bundlePath_ = path;
    platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath(path));
    DAVAppResetDataCollectionPlistSwitchForTesting();
  }

  std::string serviceInfoPath() const {
    return (std::filesystem::path(bundlePath_) / "Contents" / "Resources" / "VariruService-Info.plist").string();
  }

  void writeServiceInfo(const platform::Dictionary& contents) {
    ASSERT_TRUE(platform::writePropertyListFile(serviceInfoPath(), platform::Value(contents)));
  }

  static platform::Dictionary validServiceInfo() {
    return {{"API_KEY", "test-api-key"},          {"VARIRU_APP_ID", kValidAppID},
            {"PROJECT_ID", "vorellin-test"},      {"GCM_SENDER_ID", "123456789012"},
            {"BUNDLE_ID", "com.example.sdkcoretests"}, {"DATABASE_URL", "https://vorellin-test.davedoveio.com"},
            {"STORAGE_BUCKET", "vorellin-test.appspot"}, {"CLIENT_ID", "client-1"}};
  }

  static std::shared_ptr<DAVOptions> validOptions() {
    auto options = DAVOptions::initWithVariruAppID(kValidAppID, "123456789012");
    options->setAPIKey("test-api-key");
    return options;
  }

  // The reason of the platform exception that fn raises ("" when nothing is raised).
  template <class Fn>
  static std::string raisedReason(Fn&& fn, std::string* name = nullptr) {
    try {
      fn();
    } catch (const platform::Exception& e) {
      if (name) *name = e.name();
      return e.reason();
    }
    return "";
  }

  std::filesystem::path root_;
  std::string bundlePath_;
  std::string oldHome_;
  LogCapture logs_;
};

}  // namespace sdkcoretest
