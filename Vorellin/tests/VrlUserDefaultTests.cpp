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

// Over a settings file that cannot be read, protection, the mode and PIN protection read as what is in
// force, not as what was last read; what neither the DNS nor the cloud has told yet reads on. When
// another writer replaces the file, what it says of them stands and what it lacks is written from memory.
TEST_F(SettingsStoreTest, UnreadableSettingsHoldWhatIsInForceUntilTheFileReadsAgain) {
  set(keys::kBlockerState, false);
  set(keys::kPinProtect, false);
  std::ofstream(prefs()->filePath(), std::ios::trunc) << "<?xml version=\"1.0\"?><plist><dict><key>Bl";
  ASSERT_TRUE(prefs()->readError());
  // Neither the modes' resolvers nor the cloud's answer for the user's PIN yet: nothing tells either
  // is off, whatever was last read.
  writeServices({service("Wi-Fi", true, {"192.168.1.1"})});
  EXPECT_TRUE(settings.blockerState());
  EXPECT_TRUE(settings.pinProtectState());
  EXPECT_FALSE(settings.userPinKnown());
  // The lists, none of them in force, and the cloud's answer that the user has no PIN: both off.
  setModeLists();
  VrlUserDefault::shared().userPinAnswered();
  EXPECT_FALSE(settings.blockerState());
  EXPECT_FALSE(settings.pinProtectState());
  EXPECT_TRUE(settings.userPinKnown());
  // The proxy in force.
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"127.0.0.1"})});
  EXPECT_TRUE(settings.blockerState());
  EXPECT_EQ(settings.blockerMode(), 0);
  // With the user's PIN: the strictest mode whose resolvers are in force, and PIN protection on.
  set(keys::kPin, "1234");
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"10.0.1.1", "10.0.1.2"})});
  EXPECT_TRUE(settings.blockerState());
  EXPECT_EQ(settings.blockerMode(), 1);
  EXPECT_TRUE(settings.pinProtectState());

  // Another writer replaces the file with PIN protection off: that stands, the rest comes from memory.
  platform::UserDefaults other(kDefaultsDomain);
  other.set(keys::kPinProtect, false);
  ASSERT_TRUE(other.synchronizeReplacingUnreadable());
  EXPECT_FALSE(settings.pinProtectState());
  platform::UserDefaults file(kDefaultsDomain);
  EXPECT_TRUE(file.boolForKey(keys::kBlockerState));
  EXPECT_EQ(file.integerForKey(keys::kBlockerMode), 1);
  EXPECT_FALSE(file.boolForKey(keys::kPinProtect));
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
