#include <gtest/gtest.h>

#include <filesystem>

#include "platform/servicemanagement/AppService.h"
#include "platform/tools/tests/TempPlatformRoot.h"

namespace platform {
namespace {

class AppServiceTest : public TempPlatformRootTest {
 protected:
  void SetUp() override {
    TempPlatformRootTest::SetUp();
    std::filesystem::create_directories(systemPath(kBundle));
  }
  const std::string kBundle = "/Applications/Vorellin.app";
};

TEST_F(AppServiceTest, RegisterAndUnregisterAnExistingBundle) {
  auto item = AppService::loginItemServiceWithIdentifier(kBundle);
  EXPECT_EQ(item->status(), AppService::Status::NotRegistered);
  ErrorPtr error;
  EXPECT_TRUE(item->registerAndReturnError(&error));
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(item->status(), AppService::Status::Enabled);
  // Another object (or process) for the same identifier sees the registry.
  EXPECT_EQ(AppService::loginItemServiceWithIdentifier(kBundle)->status(), AppService::Status::Enabled);
  EXPECT_TRUE(item->registerAndReturnError(&error));  // registering again is harmless

  EXPECT_TRUE(item->unregisterAndReturnError(&error));
  EXPECT_EQ(item->status(), AppService::Status::NotRegistered);
  EXPECT_FALSE(item->unregisterAndReturnError(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), kAppServiceErrorDomain);
  EXPECT_EQ(error->code(), 3);
}

TEST_F(AppServiceTest, UnknownIdentifierIsNotFoundAndCannotRegister) {
  auto item = AppService::loginItemServiceWithIdentifier("/Applications/Missing.app");
  EXPECT_EQ(item->status(), AppService::Status::NotFound);
  EXPECT_EQ(AppService::loginItemServiceWithIdentifier("mac.com.example.helper")->status(),
            AppService::Status::NotFound);
  ErrorPtr error;
  EXPECT_FALSE(item->registerAndReturnError(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(item->status(), AppService::Status::NotFound);
}

TEST_F(AppServiceTest, RefusedRegistrationFailsWithAPrintableError) {
  ASSERT_TRUE(AppService::setRefusesRegistration(kBundle, true));
  auto item = AppService::loginItemServiceWithIdentifier(kBundle);
  ErrorPtr error;
  EXPECT_FALSE(item->registerAndReturnError(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->description(),
            "Error Domain=SMAppServiceErrorDomain Code=1 \"Operation not permitted\" "
            "UserInfo={NSLocalizedDescription=Operation not permitted}");
  EXPECT_EQ(item->status(), AppService::Status::NotRegistered);
  ASSERT_TRUE(AppService::setRefusesRegistration(kBundle, false));
  EXPECT_TRUE(item->registerAndReturnError(&error));
}

TEST_F(AppServiceTest, RegistrationAwaitingApproval) {
  ASSERT_TRUE(AppService::setRequiresApproval(kBundle, true));
  auto item = AppService::loginItemServiceWithIdentifier(kBundle);
  EXPECT_EQ(item->status(), AppService::Status::NotRegistered);
  EXPECT_TRUE(item->registerAndReturnError(nullptr));
  EXPECT_EQ(item->status(), AppService::Status::RequiresApproval);
  ASSERT_TRUE(AppService::setRequiresApproval(kBundle, false));  // the user approves
  EXPECT_EQ(item->status(), AppService::Status::Enabled);
  EXPECT_STREQ(statusName(item->status()), "Enabled");
}

TEST_F(AppServiceTest, BrokenRegistryIsNotOverwritten) {
  const std::string broken = "{oops";
  writeFile(AppService::registryPath(), broken);
  auto item = AppService::loginItemServiceWithIdentifier(kBundle);
  EXPECT_EQ(item->status(), AppService::Status::NotRegistered);
  ErrorPtr error;
  EXPECT_FALSE(item->registerAndReturnError(&error));
  EXPECT_NE(error, nullptr);
  EXPECT_EQ(readFile(AppService::registryPath()), broken);
}

}  // namespace
}  // namespace platform
