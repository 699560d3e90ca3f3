#include "platform/defaults/UserDefaults.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/defaults/tests/TempHome.h"
#include "platform/foundation/PropertyList.h"

namespace platform {
namespace {

using UserDefaultsTest = TempHomeTest;

std::set<std::string> directoryEntries(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.insert(entry.path().filename());
  return names;
}

TEST_F(UserDefaultsTest, AbsentKeysGiveTypedDefaultsAndCreateNoFile) {
  UserDefaults defaults("mac.com.test.absent");
  EXPECT_EQ(defaults.filePath(), home_ + "/Library/Preferences/mac.com.test.absent.plist");
  EXPECT_FALSE(defaults.boolForKey("BlockerState"));
  EXPECT_EQ(defaults.integerForKey("BlockerMode"), 0);
  EXPECT_EQ(defaults.doubleForKey("x"), 0.0);
  EXPECT_EQ(defaults.stringForKey("currentIp"), std::nullopt);
  EXPECT_EQ(defaults.stringArrayForKey("normal"), std::nullopt);
  EXPECT_EQ(defaults.objectForKey("pin"), std::nullopt);
  EXPECT_FALSE(defaults.hasKey("pin"));
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_FALSE(std::filesystem::exists(defaults.filePath()));
}

TEST_F(UserDefaultsTest, BooleanReadings) {
  UserDefaults d("mac.com.test.bool");
  const std::vector<std::pair<Value, bool>> cases = {
      {Value(true), true},       {Value(false), false},     {Value(1), true},        {Value(0), false},
      {Value(-2), true},         {Value(0.5), true},        {Value(0.0), false},     {Value("YES"), true},
      {Value("yes"), true},      {Value("true"), true},     {Value("TRUE"), true},   {Value("1"), true},
      {Value("7 apples"), true}, {Value("NO"), false},      {Value("false"), false}, {Value("0"), false},
      {Value("banana"), false},  {Value(""), false},        {Value(Array{Value(true)}), false},
      {Value::data("\x01"), false}};
  for (const auto& [value, expected] : cases) {
    d.set("k", value);
    EXPECT_EQ(d.boolForKey("k"), expected) << value.description();
  }
}

TEST_F(UserDefaultsTest, NumberAndTextReadings) {
  UserDefaults d("mac.com.test.numbers");
  d.set("int", Value(42));
  d.set("big", Value(static_cast<long long>(1) << 40));
  d.set("real", Value(3.9));
  d.set("negReal", Value(-3.9));
  d.set("yes", Value(true));
  d.set("text", Value("  17 dwarves"));
  d.set("realText", Value("2.5"));
  d.set("word", Value("none"));
  d.set("list", Value(Array{Value("a")}));
  d.set("date", Value(Date{1000}));

  EXPECT_EQ(d.integerForKey("int"), 42);
  EXPECT_EQ(d.integerForKey("big"), int64_t(1) << 40);
  EXPECT_EQ(d.integerForKey("real"), 3);
  EXPECT_EQ(d.integerForKey("negReal"), -3);
  EXPECT_EQ(d.integerForKey("yes"), 1);
  EXPECT_EQ(d.integerForKey("text"), 17);
  EXPECT_EQ(d.integerForKey("word"), 0);
  EXPECT_EQ(d.integerForKey("list"), 0);

  EXPECT_DOUBLE_EQ(d.doubleForKey("int"), 42.0);
  EXPECT_DOUBLE_EQ(d.doubleForKey("real"), 3.9);
  EXPECT_DOUBLE_EQ(d.doubleForKey("realText"), 2.5);
  EXPECT_DOUBLE_EQ(d.doubleForKey("word"), 0.0);

  EXPECT_EQ(d.stringForKey("int"), "42");
  EXPECT_EQ(d.stringForKey("real"), "3.9");
  EXPECT_EQ(d.stringForKey("yes"), "1");
  EXPECT_EQ(d.stringForKey("text"), "  17 dwarves");
  EXPECT_EQ(d.stringForKey("list"), std::nullopt);
  EXPECT_EQ(d.stringForKey("date"), std::nullopt);
}

TEST_F(UserDefaultsTest, StringArraysOnlyFromArraysOfStrings) {
  UserDefaults d("mac.com.test.arrays");
  d.set("dns", Value(Array{Value("1.1.1.1"), Value("9.9.9.9")}));
  d.set("empty", Value(Array{}));
  d.set("mixed", Value(Array{Value("a"), Value(3)}));
  d.set("text", Value("1.1.1.1"));
  EXPECT_EQ(d.stringArrayForKey("dns"), (std::vector<std::string>{"1.1.1.1", "9.9.9.9"}));
  EXPECT_EQ(d.stringArrayForKey("empty"), std::vector<std::string>{});
  EXPECT_EQ(d.stringArrayForKey("mixed"), std::nullopt);
  EXPECT_EQ(d.stringArrayForKey("text"), std::nullopt);
}

TEST_F(UserDefaultsTest, ValuesPersistAcrossInstancesAndRemovalWritesThrough) {
  const Value nested(Dictionary{{"list", Value(Array{Value(1), Value("two"), Value(2.5)})},
                                {"bytes", Value::data(std::string("\0\xff", 2))},
                                {"when", Value(Date{1700000000})}});
  {
    UserDefaults writer("mac.com.test.persist");
    writer.set("BlockerMode", Value(2));
    writer.set("pin", Value("1234"));
    writer.set("nested", nested);
    writer.set("gone", Value("soon"));
    writer.removeObject("gone");
    writer.set("currentIp", Value("1.2.3.4"));
    writer.set("currentIp", Value());  // a null value removes the key
  }
  UserDefaults reader("mac.com.test.persist");
  EXPECT_EQ(reader.integerForKey("BlockerMode"), 2);
  EXPECT_EQ(reader.stringForKey("pin"), "1234");
  ASSERT_TRUE(reader.objectForKey("nested").has_value());
  EXPECT_EQ(*reader.objectForKey("nested"), nested);
  EXPECT_FALSE(reader.hasKey("gone"));
  EXPECT_FALSE(reader.hasKey("currentIp"));

  // The file is a property list of the domain's keys, private to the user.
  auto onDisk = readPropertyListFile(reader.filePath());
  ASSERT_TRUE(onDisk.has_value());
  ASSERT_NE(onDisk->asDictionary(), nullptr);
  EXPECT_EQ(onDisk->asDictionary()->size(), 3u);
  struct stat st;
  ASSERT_EQ(stat(reader.filePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(UserDefaultsTest, ReadersNeverSeeAPartialFileAndNoTempFilesRemain) {
  UserDefaults writer("mac.com.test.atomic");
  const std::string path = writer.filePath();
  std::atomic<bool> done{false};
  std::atomic<int> parsed{0}, broken{0};
  std::thread reader([&] {
    while (!done) {
      std::ifstream in(path, std::ios::binary);
      if (!in) continue;  // before the first write
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      auto v = parsePropertyList(bytes);
      if (v && v->asDictionary() && v->asDictionary()->count("payload")) {
        ++parsed;
      } else {
        ++broken;
      }
    }
  });
  for (int i = 0; i < 200; ++i) {
    // Large enough that a non-atomic write would be seen half done.
    writer.set("payload", Value(std::string(20000 + i * 100, static_cast<char>('a' + i % 26))));
  }
  done = true;
  reader.join();
  EXPECT_EQ(broken.load(), 0);
  EXPECT_GT(parsed.load(), 0);
  EXPECT_EQ(directoryEntries(preferencesDir()),
            (std::set<std::string>{"mac.com.test.atomic.plist", "mac.com.test.atomic.plist.lock"}));
}

TEST_F(UserDefaultsTest, SeveralProcessesWritingDifferentKeysLoseNothing) {
  // Each write re-reads and rewrites the whole growing file, so unlocked writers would drop keys.
  const std::string domain = "mac.com.test.processes";
  const int children = 4, perProcess = 120;
  std::vector<pid_t> pids;
  for (int c = 0; c < children; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UserDefaults d(domain);
      for (int i = 0; i < perProcess; ++i) d.set("child" + std::to_string(c) + "-" + std::to_string(i), Value(i));
      _exit(0);
    }
    pids.push_back(pid);
  }
  UserDefaults d(domain);
  for (int i = 0; i < perProcess; ++i) d.set("parent" + std::to_string(i), Value(i));
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  ASSERT_TRUE(d.synchronize());
  UserDefaults fresh(domain);
  EXPECT_EQ(fresh.dictionaryRepresentation().size(), static_cast<size_t>((children + 1) * perProcess));
  for (int i = 0; i < perProcess; ++i) {
    EXPECT_EQ(fresh.objectForKey("parent" + std::to_string(i)), Value(i)) << i;
    for (int c = 0; c < children; ++c) {
      std::string key = "child" + std::to_string(c) + "-" + std::to_string(i);
      EXPECT_EQ(d.objectForKey(key), Value(i)) << key;
    }
  }
}

TEST_F(UserDefaultsTest, SeveralThreadsAndInstancesShareOneDomain) {
  const std::string domain = "mac.com.test.threads";
  auto shared = UserDefaults::forDomain(domain);
  EXPECT_EQ(shared, UserDefaults::forDomain(domain));
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &shared, &domain] {
      // Half the threads use the shared instance, half their own: both must keep every key.
      std::unique_ptr<UserDefaults> own = t % 2 ? std::make_unique<UserDefaults>(domain) : nullptr;
      UserDefaults& d = own ? *own : *shared;
      for (int i = 0; i < 40; ++i) {
        std::string key = "t" + std::to_string(t) + "k" + std::to_string(i);
        d.set(key, Value(i));
        EXPECT_EQ(d.integerForKey(key), i);
        d.boolForKey("t0k0");
      }
    });
  }
  for (auto& th : threads) th.join();
  UserDefaults fresh(domain);
  for (int t = 0; t < 8; ++t) {
    for (int i = 0; i < 40; ++i) {
      std::string key = "t" + std::to_string(t) + "k" + std::to_string(i);
      EXPECT_EQ(fresh.integerForKey(key), i) << key;
      EXPECT_EQ(shared->integerForKey(key), i) << key;
    }
  }
}

TEST_F(UserDefaultsTest, ForDomainFollowsTheCurrentHome) {
  auto first = UserDefaults::forDomain("mac.com.test.home");
  std::string otherHome = home_ + "/other";
  std::filesystem::create_directory(otherHome);
  setenv("HOME", otherHome.c_str(), 1);
  auto second = UserDefaults::forDomain("mac.com.test.home");
  EXPECT_NE(first, second);
  EXPECT_EQ(second->filePath(), otherHome + "/Library/Preferences/mac.com.test.home.plist");
}

TEST_F(UserDefaultsTest, RemovePersistentDomainDeletesEverything) {
  UserDefaults d("mac.com.test.remove");
  UserDefaults other("mac.com.test.remove");
  d.set("BlockerState", Value(true));
  d.set("pin", Value("0000"));
  EXPECT_TRUE(other.boolForKey("BlockerState"));
  d.removePersistentDomain();
  EXPECT_FALSE(std::filesystem::exists(d.filePath()));
  EXPECT_FALSE(d.hasKey("BlockerState"));
  EXPECT_FALSE(d.hasKey("pin"));
  ASSERT_TRUE(other.synchronize());
  EXPECT_FALSE(other.hasKey("BlockerState"));
  // The domain can be used again afterwards, without the old keys.
  other.set("BlockerMode", Value(1));
  UserDefaults fresh("mac.com.test.remove");
  EXPECT_EQ(fresh.integerForKey("BlockerMode"), 1);
  EXPECT_FALSE(fresh.hasKey("pin"));
}

TEST_F(UserDefaultsTest, SynchronizeSeesChangesOfOtherWriters) {
  UserDefaults mine("mac.com.test.sync");
  UserDefaults theirs("mac.com.test.sync");
  mine.set("a", Value(1));
  EXPECT_EQ(theirs.integerForKey("a"), 1);
  theirs.set("b", Value(2));
  ASSERT_TRUE(mine.synchronize());
  EXPECT_EQ(mine.integerForKey("b"), 2);
  mine.set("a", Value(3));
  ASSERT_TRUE(theirs.synchronize());
  EXPECT_EQ(theirs.integerForKey("a"), 3);
  EXPECT_EQ(theirs.integerForKey("b"), 2);
}

TEST_F(UserDefaultsTest, MalformedFileStaysUntilAChangeReplacesItAndReadsAsLastReadMeanwhile) {
  std::filesystem::create_directories(preferencesDir());
  const std::string path = preferencesDir() + "/mac.com.test.malformed.plist";
  const std::string damaged = "<?xml version=\"1.0\"?><plist><dict><key>half";
  std::ofstream(path) << damaged;
  UserDefaults d("mac.com.test.malformed");
  EXPECT_FALSE(d.hasKey("half"));
  ASSERT_TRUE(d.readError());
  EXPECT_NE(d.readError()->find(path), std::string::npos) << *d.readError();
  // Ordinary writes wait in memory: a file of them alone would lose everything it could not read.
  d.set("waiting", Value(1));
  EXPECT_FALSE(d.synchronize());
  EXPECT_EQ(d.integerForKey("waiting"), 1);
  ASSERT_TRUE(d.readError());
  EXPECT_EQ(directoryEntries(preferencesDir()),
            (std::set<std::string>{"mac.com.test.malformed.plist", "mac.com.test.malformed.plist.lock"}));
  std::ifstream untouched(path);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(untouched)), std::istreambuf_iterator<char>()), damaged);

  d.set("fixed", Value(true));
  ASSERT_TRUE(d.synchronizeReplacingUnreadable());
  EXPECT_FALSE(d.readError());
  UserDefaults fresh("mac.com.test.malformed");
  EXPECT_TRUE(fresh.boolForKey("fixed"));
  EXPECT_EQ(fresh.integerForKey("waiting"), 1);
  EXPECT_FALSE(fresh.readError());
  // What could not be read is still there, under a new name.
  std::vector<std::string> aside;
  for (const std::string& name : directoryEntries(preferencesDir()))
    if (name.rfind("mac.com.test.malformed.plist.damaged-", 0) == 0) aside.push_back(name);
  ASSERT_EQ(aside.size(), 1u);
  std::ifstream in(preferencesDir() + "/" + aside[0]);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), damaged);

  // Damaged under a running reader: it reads what it last read, with its changes since on top.
  d.set("pin", Value("1234"));
  d.set("gone", Value(1));
  std::ofstream(path, std::ios::trunc) << damaged;
  ASSERT_TRUE(d.readError());
  EXPECT_EQ(d.stringForKey("pin"), "1234");
  EXPECT_TRUE(d.boolForKey("fixed"));
  EXPECT_FALSE(d.hasUnwrittenChange("pin"));
  d.set("late", Value(2));
  d.removeObject("gone");
  EXPECT_TRUE(d.hasUnwrittenChange("late"));
  EXPECT_FALSE(d.hasKey("gone"));
  // Another writer, who could not read it either, puts a file of its own in its place: what that says
  // stands, the keys it lacks keep what was last read and are written into it; the changes since wait.
  UserDefaults other("mac.com.test.malformed");
  other.set("pin", Value("5678"));
  other.set("theirs", Value(3));
  ASSERT_TRUE(other.synchronizeReplacingUnreadable());
  EXPECT_FALSE(d.readError());
  EXPECT_EQ(d.stringForKey("pin"), "5678");
  EXPECT_EQ(d.integerForKey("late"), 2);
  EXPECT_FALSE(d.hasKey("gone"));
  {
    UserDefaults onDisk("mac.com.test.malformed");
    EXPECT_EQ(onDisk.stringForKey("pin"), "5678");
    EXPECT_EQ(onDisk.integerForKey("theirs"), 3);
    EXPECT_TRUE(onDisk.boolForKey("fixed"));
    EXPECT_EQ(onDisk.integerForKey("waiting"), 1);
    EXPECT_FALSE(onDisk.hasKey("gone"));
    EXPECT_FALSE(onDisk.hasKey("late"));
  }
  // Its own replacement of a damaged file holds what it last read and its changes; a removal stays.
  std::ofstream(path, std::ios::trunc) << damaged;
  d.removeObject("theirs");
  ASSERT_TRUE(d.synchronizeReplacingUnreadable());
  UserDefaults replaced("mac.com.test.malformed");
  EXPECT_FALSE(replaced.readError());
  EXPECT_EQ(replaced.dictionaryRepresentation(),
            (Dictionary{{"fixed", Value(true)}, {"waiting", Value(1)}, {"pin", Value("5678")}, {"late", Value(2)}}));

  // An absent file is no error.
  EXPECT_FALSE(UserDefaults("mac.com.test.absent").readError());
}

TEST_F(UserDefaultsTest, OnlyTheThreeNewestCopiesOfUnreadableSettingsStayAndTheDomainTakesThemAlong) {
  std::filesystem::create_directories(preferencesDir());
  UserDefaults d("mac.com.test.copies");
  const std::string prefix = "mac.com.test.copies.plist.damaged-";
  std::ofstream(preferencesDir() + "/" + prefix + "notes") << "a person's own file";
  for (int round = 0; round < 5; ++round) {
    std::ofstream(d.filePath(), std::ios::trunc) << "<plist><dict><key>damaged " << round;
    d.set("round", Value(round));
    ASSERT_TRUE(d.synchronizeReplacingUnreadable()) << round;
  }
  EXPECT_EQ(UserDefaults("mac.com.test.copies").integerForKey("round"), 4);
  std::set<std::string> kept;
  for (const std::string& name : directoryEntries(preferencesDir())) {
    if (name.rfind(prefix, 0) != 0 || name == prefix + "notes") continue;
    std::ifstream in(preferencesDir() + "/" + name);
    kept.insert(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }
  EXPECT_EQ(kept, (std::set<std::string>{"<plist><dict><key>damaged 2", "<plist><dict><key>damaged 3",
                                         "<plist><dict><key>damaged 4"}));

  d.removePersistentDomain();
  EXPECT_EQ(directoryEntries(preferencesDir()),
            (std::set<std::string>{"mac.com.test.copies.plist.lock", prefix + "notes"}));
}

TEST_F(UserDefaultsTest, FailedWriteKeepsTheValueAndReportsOnSynchronize) {
  // "Library" is a plain file, so the preferences folder cannot be made (whatever our rights).
  std::ofstream(home_ + "/Library") << "not a folder";
  UserDefaults d("mac.com.test.unwritable");
  d.set("BlockerMode", Value(2));
  EXPECT_EQ(d.integerForKey("BlockerMode"), 2);
  EXPECT_FALSE(d.synchronize());
  // Once the place is writable again, the pending change reaches the disk.
  std::filesystem::remove(home_ + "/Library");
  EXPECT_TRUE(d.synchronize());
  UserDefaults fresh("mac.com.test.unwritable");
  EXPECT_EQ(fresh.integerForKey("BlockerMode"), 2);
}

}  // namespace
}  // namespace platform
