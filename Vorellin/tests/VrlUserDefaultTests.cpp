#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "Vorellin/AppUtils.h"
#include "Vorellin/VrlUserDefault.h"
#include "Vorellin/tests/SimulatedMacTest.h"

namespace vorellin {
namespace {

using platform::logging::LogFlag;
using Strings = std::vector<std::string>;

class SettingsStoreTest : public testing::SimulatedMacTest {
 protected:
  const VrlUserDefault& settings = VrlUserDefault::shared();
};

TEST_F(SettingsStoreTest, FreshInstallGivesDefaultsAndLogsEachMissingKey) {
  EXPECT_FALSE(settings.customBlacklistState());
  EXPECT_FALSE(settings.fenwixState());
  EXPECT_EQ(settings.blockerMode(), 0);
  EXPECT_FALSE(settings.blockerState());
  EXPECT_EQ(settings.currentIp(), std::nullopt);
  EXPECT_EQ(settings.previousIp(), std::nullopt);
  EXPECT_EQ(settings.customBlacklistDns(), Strings{});
  EXPECT_EQ(settings.fenwixDnsUrls(), Strings{});
  EXPECT_FALSE(settings.UpdateInstalled());
  for (int mode : {0, 1, 2, 3}) EXPECT_EQ(settings.getDnsPreferences(mode), Strings{});
  EXPECT_EQ(settings.getPin("pin"), "");
  EXPECT_EQ(settings.getPin("masterPin"), "");

  EXPECT_EQ(log->texts(LogFlag::Verbose),
            (Strings{"Error getting CustomBlacklist", "Error getting FenwixState", "Error getting BlockerMode",
                     "Error getting BlockerState", "Error getting currentIp", "Error getting previousIp",
                     "Error getting UpdateInstalled", "Error getDnsPreferences", "Error getDnsPreferences",
                     "Error getDnsPreferences", "Error getDnsPreferences",
                     "Error getPin. Returning default - masterPin", "Error getPin. Returning default - masterPin"}));
  // Each line names its getter.
  EXPECT_EQ(log->texts(LogFlag::Verbose, "customBlacklistState"), Strings{"Error getting CustomBlacklist"});
  EXPECT_EQ(log->texts(LogFlag::Verbose, "getPin(type:)").size(), 2u);
  // A miss writes nothing back.
  EXPECT_FALSE(prefs()->hasKey(keys::kBlockerState));
}

TEST_F(SettingsStoreTest, StoredValuesAreReadAfreshWithoutLogging) {
  set(keys::kBlockerState, true);
  set(keys::kCustomBlacklist, true);
  set(keys::kFenwixState, false);
  set(keys::kBlockerMode, 0);
  set(keys::kUpdateInstalled, true);
  set(keys::kCurrentIp, "203.0.113.7");
  set(keys::kCustomBlacklistDns, list({"9.9.9.9", "8.8.4.4"}));
  set(keys::kFenwixDnsUrls, list({"https://dns.example/dns-query"}));
  EXPECT_TRUE(settings.blockerState());
  EXPECT_TRUE(settings.customBlacklistState());
  EXPECT_FALSE(settings.fenwixState());
  EXPECT_EQ(settings.blockerMode(), 0);
  EXPECT_TRUE(settings.UpdateInstalled());
  EXPECT_EQ(settings.currentIp(), "203.0.113.7");
  EXPECT_EQ(settings.customBlacklistDns(), (Strings{"9.9.9.9", "8.8.4.4"}));
  EXPECT_EQ(settings.fenwixDnsUrls(), Strings{"https://dns.example/dns-query"});
  EXPECT_TRUE(log->messages().empty());

  set(keys::kBlockerMode, 2);
  EXPECT_EQ(settings.blockerMode(), 2);
  prefs()->removeObject(keys::kCurrentIp);
  EXPECT_EQ(settings.currentIp(), std::nullopt);
  EXPECT_EQ(log->texts(LogFlag::Verbose), Strings{"Error getting currentIp"});
}

TEST_F(SettingsStoreTest, ModeListsNeedAllThreeAndUnknownModesGiveTheEmptyPair) {
  set(keys::kNormal, list({"10.0.0.1"}));
  set(keys::kExtreme, list({"10.0.1.1"}));
  EXPECT_EQ(settings.getDnsPreferences(0), Strings{});  // ultraExtreme missing
  EXPECT_EQ(log->texts(LogFlag::Verbose, "getDnsPreferences(mode:)"), Strings{"Error getDnsPreferences"});

  set(keys::kUltraExtreme, list({"10.0.2.1", "10.0.2.2"}));
  EXPECT_EQ(settings.getDnsPreferences(0), Strings{"10.0.0.1"});
  EXPECT_EQ(settings.getDnsPreferences(1), Strings{"10.0.1.1"});
  EXPECT_EQ(settings.getDnsPreferences(2), (Strings{"10.0.2.1", "10.0.2.2"}));
  EXPECT_EQ(settings.getDnsPreferences(3), (Strings{"empty", ""}));
  EXPECT_EQ(settings.getDnsPreferences(-1), (Strings{"empty", ""}));
}

TEST_F(SettingsStoreTest, PinFallsBackToTheMasterPin) {
  set(keys::kMasterPin, "9999");
  EXPECT_EQ(settings.getPin("pin"), "9999");
  EXPECT_EQ(log->texts(LogFlag::Verbose), Strings{"Error getPin. Returning default - masterPin"});
  set(keys::kPin, "1234");
  EXPECT_EQ(settings.getPin("pin"), "1234");
  EXPECT_EQ(settings.getPin("masterPin"), "9999");
  EXPECT_EQ(log->texts(LogFlag::Verbose).size(), 1u);
}

TEST_F(SettingsStoreTest, ValuesOfAnotherTypeUnderListKeysReadAsEmpty) {
  set(keys::kCustomBlacklistDns, "9.9.9.9");
  set(keys::kFenwixDnsUrls, platform::Value(platform::Array{platform::Value(1), platform::Value("x")}));
  EXPECT_EQ(settings.customBlacklistDns(), Strings{});
  EXPECT_EQ(settings.fenwixDnsUrls(), Strings{});
}

// Over a settings file that cannot be read, protection, the block mode, the custom block list, the
// encrypted-DNS option and PIN protection read fail-closed: as last read, or on where what is in force
// or known says so; the mode as last read, else the one in force, else the strictest. When another
// writer replaces the file, what it says of them stands and what it lacks is written from memory.
TEST_F(SettingsStoreTest, UnreadableSettingsReadFailClosedUntilTheFileReadsAgain) {
  auto damage = [] {
    std::ofstream(prefs()->filePath(), std::ios::trunc) << "<?xml version=\"1.0\"?><plist><dict><key>Bl";
  };
  auto expectSwitches = [&](bool blocker, bool customBlacklist, bool fenwix, int64_t mode) {
    EXPECT_EQ(settings.blockerState(), blocker);
    EXPECT_EQ(settings.customBlacklistState(), customBlacklist);
    EXPECT_EQ(settings.fenwixState(), fenwix);
    EXPECT_EQ(settings.blockerMode(), mode);
  };
  const std::vector<std::string> custom = {"10.9.9.9", "10.9.9.8"};

  // Damaged under a running application that read protection off in the extreme mode: the mode stays
  // as read; a DNS of the services' own, on none of the lists, reads as protection on.
  setSwitches(false, false, false);
  set(keys::kBlockerMode, 1);
  set(keys::kPinProtect, false);
  setModeLists();
  damage();
  ASSERT_TRUE(prefs()->readError());
  writeServices({service("Wi-Fi", true, {"192.168.1.1"})});
  expectSwitches(false, false, false, 1);
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"192.0.2.53"})});
  expectSwitches(true, false, false, 1);

  // A start over it, which has read nothing: the strictest mode; protection off only with automatic
  // DNS. The custom block list's resolvers read as it on, the proxy's address as both on.
  VrlUserDefault::shared().resetForTesting();
  setModeLists();
  set(keys::kCustomBlacklistDns, list(custom));
  ASSERT_TRUE(prefs()->readError());
  writeServices({service("Wi-Fi", true, {"192.168.1.1"})});
  expectSwitches(false, false, false, 2);
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, custom)});
  expectSwitches(true, true, false, 2);
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"127.0.0.1"})});
  expectSwitches(true, true, true, 2);

  // PIN protection stays on while a PIN may exist: the user's not known yet; none of the user's but the
  // master's; the master's not known yet.
  EXPECT_TRUE(settings.pinProtectState());
  VrlUserDefault::shared().userPinAnswered();
  set(keys::kMasterPin, "9876");
  EXPECT_TRUE(settings.pinProtectState());
  prefs()->removeObject(keys::kMasterPin);
  EXPECT_TRUE(settings.pinProtectState());
  set(keys::kPin, "1234");

  // Another writer replaces the file with the proxy off: that stands, the rest comes from memory.
  platform::UserDefaults other(kDefaultsDomain);
  other.set(keys::kFenwixState, false);
  ASSERT_TRUE(other.synchronizeReplacingUnreadable());
  expectSwitches(true, true, false, 2);
  platform::UserDefaults file(kDefaultsDomain);
  EXPECT_TRUE(file.boolForKey(keys::kBlockerState));
  EXPECT_TRUE(file.boolForKey(keys::kCustomBlacklist));
  EXPECT_FALSE(file.boolForKey(keys::kFenwixState));
  EXPECT_EQ(file.integerForKey(keys::kBlockerMode), 2);
  EXPECT_TRUE(file.boolForKey(keys::kPinProtect));
  EXPECT_EQ(file.stringForKey(keys::kPin), "1234");
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(prefs()->filePath()).parent_path()))
    if (entry.path().filename().string().find(".damaged-") != std::string::npos) std::filesystem::remove(entry.path());
}

TEST_F(SettingsStoreTest, SharedInstanceIsBuiltOnceAcrossThreads) {
  std::vector<const VrlUserDefault*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &VrlUserDefault::shared(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, &settings);
  EXPECT_EQ(settings.preferences->domain(), "mac.com.trennelwick.vorellin");
}

using CommandRunnerTest = testing::SimulatedMacTest;

TEST_F(CommandRunnerTest, ReturnsStandardOutputAndStatus) {
  ShellResult quiet = AppUtils::shellResult("exit 3");
  EXPECT_EQ(quiet.output, "");
  EXPECT_EQ(quiet.status, 3);

  ShellResult mixed = AppUtils::shellResult("echo out; echo err >&2; printf 'x\\n\\n'");
  EXPECT_EQ(mixed.output, "out\nx\n\n");  // no trimming, nothing from standard error
  EXPECT_EQ(mixed.status, 0);

  ShellResult notUtf8 = AppUtils::shellResult("printf 'ab\\377\\376'; exit 2");
  EXPECT_EQ(notUtf8.output, "");
  EXPECT_EQ(notUtf8.status, 2);

  ShellResult utf8 = AppUtils::shellResult("printf 'Caf\\303\\251 \\360\\237\\230\\200'");
  EXPECT_EQ(utf8.output, "Caf\xC3\xA9 \xF0\x9F\x98\x80");

  ShellResult overlong = AppUtils::shellResult("printf '\\300\\257'");  // overlong "/"
  EXPECT_EQ(overlong.output, "");

  ShellResult pipeline = AppUtils::shellResult("printf 'a b\\nc d\\n' | awk '{print $2}'");
  EXPECT_EQ(pipeline.output, "b\nd\n");

  EXPECT_EQ(log->texts(LogFlag::Verbose, "shellResult(_:)"),
            (Strings{"", "out\nx\n\n", "", "Caf\xC3\xA9 \xF0\x9F\x98\x80", "", "b\nd\n"}));
}

}  // namespace
}  // namespace vorellin
