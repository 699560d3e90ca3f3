#include "platform/keychain/Keychain.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

namespace platform::keychain {
namespace {

class KeychainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vrl-keychain-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    const char* old = std::getenv("HOME");
    oldHome_ = old ? old : "";
    ::setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    ::setenv("HOME", oldHome_.c_str(), 1);
    std::filesystem::remove_all(home_);
  }
  static Item item(const std::string& service, const std::string& account, const std::string& data) {
    Item i;
    i.service = service;
    i.account = account;
    i.data = data;
    return i;
  }
  static Changes dataChange(const std::string& data) {
    Changes c;
    c.data = data;
    return c;
  }
  std::string home_;
  std::string oldHome_;
};

TEST_F(KeychainTest, StatusesOfAddCopyUpdateDelete) {
  Keychain kc = Keychain::standard();
  EXPECT_EQ(kc.path(), home_ + "/Library/Keychains/vorellin-keychain.plist");
  std::vector<Item> out;
  Query q{std::string("svc"), std::string("acct"), std::nullopt};
  EXPECT_EQ(kc.copyMatching(q, 0, &out), kStatusItemNotFound);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(kc.update(q, dataChange("x")), kStatusItemNotFound);
  EXPECT_EQ(kc.deleteItems(q), kStatusItemNotFound);

  EXPECT_EQ(kc.add(item("svc", "acct", "one")), kStatusSuccess);
  EXPECT_EQ(kc.add(item("svc", "acct", "two")), kStatusDuplicateItem);
  ASSERT_EQ(kc.copyMatching(q, 0, &out), kStatusSuccess);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, "one");

  EXPECT_EQ(kc.update(q, [] { Changes c = dataChange("two"); c.accessible = "ck"; return c; }()), kStatusSuccess);
  ASSERT_EQ(kc.copyMatching(q, 0, &out), kStatusSuccess);
  EXPECT_EQ(out[0].data, "two");
  EXPECT_EQ(out[0].accessible, "ck");

  EXPECT_EQ(kc.deleteItems(q), kStatusSuccess);
  EXPECT_EQ(kc.copyMatching(q, 0, &out), kStatusItemNotFound);
  EXPECT_EQ(kc.add(Item{}), kStatusParam);
}

TEST_F(KeychainTest, QueriesMatchOnlySetAttributesAndHonourTheLimit) {
  Keychain kc = Keychain::standard();
  ASSERT_EQ(kc.add(item("svc", "key", "current")), kStatusSuccess);
  ASSERT_EQ(kc.add(item("", "key", "legacy")), kStatusSuccess);
  Item grouped = item("svc", "key", "grouped");
  grouped.accessGroup = "group";
  ASSERT_EQ(kc.add(grouped), kStatusSuccess);  // another access group is another item
  ASSERT_EQ(kc.add(item("svc", "other", "x")), kStatusSuccess);

  std::vector<Item> out;
  ASSERT_EQ(kc.copyMatching(Query{std::nullopt, std::string("key"), std::nullopt}, 0, &out), kStatusSuccess);
  EXPECT_EQ(out.size(), 3u);
  ASSERT_EQ(kc.copyMatching(Query{std::string("svc"), std::string("key"), std::nullopt}, 2, &out), kStatusSuccess);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].data, "current");  // insertion order
  EXPECT_EQ(out[1].data, "grouped");
  ASSERT_EQ(kc.copyMatching(Query{std::string(""), std::string("key"), std::nullopt}, 0, &out), kStatusSuccess);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, "legacy");

  // Renaming one item onto another's identity is refused and changes nothing.
  EXPECT_EQ(kc.update(Query{std::string("svc"), std::string("other"), std::nullopt},
                      [] { Changes c; c.account = "key"; return c; }()),
            kStatusDuplicateItem);
  ASSERT_EQ(kc.copyMatching(Query{std::string("svc"), std::string("other"), std::nullopt}, 0, &out), kStatusSuccess);

  EXPECT_EQ(kc.deleteItems(Query{std::nullopt, std::string("key"), std::nullopt}), kStatusSuccess);
  ASSERT_EQ(kc.copyMatching(Query{}, 0, &out), kStatusSuccess);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].account, "other");
}

TEST_F(KeychainTest, FileIsPrivateAndHoldsBinaryDataIntact) {
  Keychain kc = Keychain::standard();
  std::string bytes("\0\x01secret\xff", 9);
  ASSERT_EQ(kc.add(item("svc", "acct", bytes)), kStatusSuccess);
  struct stat st {};
  ASSERT_EQ(::stat(kc.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((home_ + "/Library/Keychains").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  std::vector<Item> out;
  ASSERT_EQ(kc.copyMatching(Query{}, 0, &out), kStatusSuccess);
  EXPECT_EQ(out[0].data, bytes);
  // Atomic rewrite: no temporary file stays behind next to the keychain.
  for (const auto& e : std::filesystem::directory_iterator(home_ + "/Library/Keychains")) {
    std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "vorellin-keychain.plist" || name == "vorellin-keychain.plist.lock") << name;
  }
}

TEST_F(KeychainTest, DamagedFileIsKeptAsideAndAnEmptyKeychainStarts) {
  Keychain kc = Keychain::standard();
  ASSERT_EQ(kc.add(item("svc", "acct", "one")), kStatusSuccess);
  { std::ofstream(kc.path(), std::ios::trunc) << "not a property list"; }
  std::vector<Item> out;
  EXPECT_EQ(kc.copyMatching(Query{}, 0, &out), kStatusItemNotFound);
  EXPECT_EQ(kc.add(item("svc", "two", "x")), kStatusSuccess);
  ASSERT_EQ(kc.copyMatching(Query{}, 0, &out), kStatusSuccess);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].account, "two");
  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(kc.path()).parent_path()))
    if (entry.path().filename().string().find(".damaged-") != std::string::npos) aside.push_back(entry.path());
  ASSERT_EQ(aside.size(), 1u);
  std::ifstream kept(aside[0]);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()),
            "not a property list");

  // A file that cannot be read at all is an error, and nothing is written over it.
  if (::geteuid() != 0) {
    ::chmod(kc.path().c_str(), 0);
    EXPECT_EQ(kc.copyMatching(Query{}, 0, &out), kStatusIOError);
    EXPECT_EQ(kc.add(item("svc", "three", "x")), kStatusIOError);
    ::chmod(kc.path().c_str(), 0600);
  }
}

TEST_F(KeychainTest, TwoInstancesAndAFreshHomeSeeTheRightItems) {
  Keychain a = Keychain::standard();
  Keychain b(a.path());
  ASSERT_EQ(a.add(item("svc", "acct", "from a")), kStatusSuccess);
  std::vector<Item> out;
  ASSERT_EQ(b.copyMatching(Query{}, 0, &out), kStatusSuccess);
  EXPECT_EQ(out[0].data, "from a");
  EXPECT_EQ(b.add(item("svc", "acct", "from b")), kStatusDuplicateItem);
  ASSERT_EQ(b.deleteItems(Query{}), kStatusSuccess);
  EXPECT_EQ(a.copyMatching(Query{}, 0, &out), kStatusItemNotFound);

  ASSERT_EQ(a.add(item("svc", "acct", "old home")), kStatusSuccess);
  std::string otherHome = home_ + "/other";
  std::filesystem::create_directories(otherHome);
  ::setenv("HOME", otherHome.c_str(), 1);
  EXPECT_EQ(Keychain::standard().copyMatching(Query{}, 0, &out), kStatusItemNotFound);
}

TEST_F(KeychainTest, ConcurrentWritersFromThreadsAndProcessesLoseNothing) {
  const std::string path = Keychain::defaultPath();
  constexpr int kPerWriter = 15;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Keychain kc(path);
    int bad = 0;
    for (int i = 0; i < kPerWriter; ++i)
      if (kc.add(item("proc", std::to_string(i), "p")) != kStatusSuccess) ++bad;
    ::_exit(bad);
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      Keychain kc(path);
      for (int i = 0; i < kPerWriter; ++i)
        if (kc.add(item("thread" + std::to_string(t), std::to_string(i), "t")) != kStatusSuccess) ++failures;
    });
  for (auto& th : threads) th.join();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(failures.load(), 0);
  std::vector<Item> out;
  ASSERT_EQ(Keychain(path).copyMatching(Query{}, 0, &out), kStatusSuccess);
  EXPECT_EQ(out.size(), static_cast<size_t>(4 * kPerWriter));
}

}  // namespace
}  // namespace platform::keychain
