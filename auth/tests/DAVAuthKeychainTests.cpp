#include "auth/DAVAuthKeychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "auth/DAVAuthErrors.h"
#include "platform/foundation/Exception.h"

namespace kc = platform::keychain;

namespace {

class DAVAuthKeychainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("dav-auth-keychain-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    path_ = (dir_ / "keychain.plist").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  kc::Keychain raw() const { return kc::Keychain(path_); }
  DAVAuthKeychain store() const { return DAVAuthKeychain("davedove_auth_app", raw()); }

  std::vector<kc::Item> itemsWithAccount(const std::string& account) const {
    kc::Query q;
    q.account = account;
    std::vector<kc::Item> items;
    raw().copyMatching(q, 0, &items);
    return items;
  }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(DAVAuthKeychainTest, WritesReadsUpdatesAndRemovesUnderTheCurrentNames) {
  auto keychain = store();
  platform::ErrorPtr error;
  EXPECT_TRUE(keychain.setData("first", "user", &error));
  EXPECT_TRUE(keychain.setData("second", "user", &error));  // duplicate becomes an update
  EXPECT_EQ(error, nullptr);

  auto items = itemsWithAccount("davedove_auth_1_user");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].service, "davedove_auth_app");
  EXPECT_EQ(items[0].data, "second");
  EXPECT_EQ(items[0].accessible, "kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly");
  EXPECT_EQ(keychain.dataForKey("user", &error), std::optional<platform::Data>("second"));
  EXPECT_EQ(error, nullptr);

  // Only the owner may read the file holding the tokens.
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_TRUE(keychain.removeDataForKey("user", &error));
  EXPECT_TRUE(itemsWithAccount("davedove_auth_1_user").empty());
  EXPECT_TRUE(keychain.removeDataForKey("never-stored", &error));
  EXPECT_EQ(error, nullptr);
}

TEST_F(DAVAuthKeychainTest, AnotherServiceDoesNotSeeTheItem) {
  store().setData("alice", "user", nullptr);
  DAVAuthKeychain other("davedove_auth_other", raw());
  platform::ErrorPtr error;
  EXPECT_EQ(other.dataForKey("user", &error), std::nullopt);
  EXPECT_EQ(error, nullptr);
}

TEST_F(DAVAuthKeychainTest, MissingItemIsNoErrorAndTheOldSchemeIsLookedUpOncePerInstance) {
  auto keychain = store();
  platform::ErrorPtr error = std::make_shared<platform::Error>("x", 1);
  EXPECT_EQ(keychain.dataForKey("user", &error), std::nullopt);
  EXPECT_EQ(error, nullptr);

  // An old-scheme item appearing later is not looked for again by the same instance ...
  kc::Item legacy;
  legacy.account = "user";
  legacy.data = "legacy-bytes";
  ASSERT_EQ(raw().add(legacy), kc::kStatusSuccess);
  EXPECT_EQ(keychain.dataForKey("user", &error), std::nullopt);

  // ... but a new instance finds it, moves it under the current names and deletes the old copy.
  auto fresh = store();
  EXPECT_EQ(fresh.dataForKey("user", &error), std::optional<platform::Data>("legacy-bytes"));
  EXPECT_EQ(error, nullptr);
  auto current = itemsWithAccount("davedove_auth_1_user");
  ASSERT_EQ(current.size(), 1u);
  EXPECT_EQ(current[0].service, "davedove_auth_app");
  EXPECT_EQ(current[0].data, "legacy-bytes");
  EXPECT_TRUE(itemsWithAccount("user").empty());
}

TEST_F(DAVAuthKeychainTest, TwoMatchingItemsAreAnError) {
  for (const char* group : {"group-a", "group-b"}) {
    kc::Item item;
    item.service = "davedove_auth_app";
    item.account = "davedove_auth_1_user";
    item.accessGroup = group;
    item.data = group;
    ASSERT_EQ(raw().add(item), kc::kStatusSuccess);
  }
  auto keychain = store();
  platform::ErrorPtr error;
  EXPECT_EQ(keychain.dataForKey("user", &error), std::nullopt);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), kDAVAuthErrorDomain);
  EXPECT_EQ(error->code(), DAVAuthErrorCodeKeychainError);
  const auto& info = error->userInfo();
  ASSERT_TRUE(info.count(platform::kLocalizedFailureReasonKey));
  EXPECT_EQ(*info.at(platform::kLocalizedFailureReasonKey).asString(), "SecItemCopyMatching (0)");
}

TEST_F(DAVAuthKeychainTest, AWriteThatFailsNamesTheKeychainCall) {
  // A directory where the file should be makes every write fail.
  std::filesystem::create_directories(path_);
  auto keychain = store();
  platform::ErrorPtr error;
  EXPECT_FALSE(keychain.setData("x", "user", &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DAVAuthErrorCodeKeychainError);
  const auto* reason = error->userInfo().at(platform::kLocalizedFailureReasonKey).asString();
  ASSERT_NE(reason, nullptr);
  EXPECT_EQ(reason->rfind("SecItem", 0), 0u) << *reason;
}

TEST_F(DAVAuthKeychainTest, EmptyKeyRaises) {
  auto keychain = store();
  for (int op = 0; op < 3; ++op) {
    try {
      if (op == 0) keychain.dataForKey("", nullptr);
      if (op == 1) keychain.setData("x", "", nullptr);
      if (op == 2) keychain.removeDataForKey("", nullptr);
      ADD_FAILURE() << "no exception for operation " << op;
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), platform::kInvalidArgumentException);
      EXPECT_EQ(e.reason(), "The key cannot be nil or empty.");
    }
  }
}

}  // namespace
