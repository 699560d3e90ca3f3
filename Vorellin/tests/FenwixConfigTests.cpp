#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <toml++/toml.h>

#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "Vorellin/tests/AppBundle.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVUser.h"
#include "backend/dns/PublicIpEchoServer.h"
#include "backend/src/TestBackend.h"
#include "platform/applescript/AdministratorApproval.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Bundle.h"
#include "platform/net/URLRequest.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace vorellin {
namespace {

using platform::logging::LogFlag;
using Strings = std::vector<std::string>;

// The fields of a DNS-over-HTTPS stamp, read back byte by byte.
struct StampFields {
  std::string props, address, hashes, host, path;
  size_t trailing = 0;
};

std::optional<StampFields> readStamp(const std::string& stamp) {
  if (stamp.rfind("sdns://", 0) != 0) return std::nullopt;
  const std::string encoded = stamp.substr(7);
  if (encoded.find_first_of("=+/") != std::string::npos) return std::nullopt;  // base64url, unpadded
  auto record = platform::base64URLDecode(encoded);
  if (!record || record->size() < 13 || (*record)[0] != '\x02') return std::nullopt;
  StampFields f;
  size_t at = 1;
  f.props = record->substr(at, 8);
  at += 8;
  auto field = [&](std::string* out) {
    if (at >= record->size()) return false;
    const size_t n = static_cast<unsigned char>((*record)[at++]);
    if (at + n > record->size()) return false;
    *out = record->substr(at, n);
    at += n;
    return true;
  };
  if (!field(&f.address) || !field(&f.hashes) || !field(&f.host) || !field(&f.path)) return std::nullopt;
  f.trailing = record->size() - at;
  return f;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FenwixStampTest : public testing::SimulatedMacTest {};

TEST_F(FenwixStampTest, WorkedExampleAndRecordLayout) {
  EXPECT_EQ(FenwixHelper::makeDnsStamp("a", "/b"), "sdns://AgcAAAAAAAAAAAABYQIvYg");
  auto f = readStamp(*FenwixHelper::makeDnsStamp("https://doh.example.net/", "/uid-1"));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->props, std::string("\x07\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(f->address, "");
  EXPECT_EQ(f->hashes, "");
  EXPECT_EQ(f->host, "doh.example.net");
  EXPECT_EQ(f->path, "/uid-1");
  EXPECT_EQ(f->trailing, 0u);
}

TEST_F(FenwixStampTest, HostFieldCarriesEverythingAfterTheScheme) {
  struct Case {
    std::string url, host;
  };
  const std::vector<Case> cases = {
      {"https://doh.example.net", "doh.example.net"},
      {"https://doh.example.net/", "doh.example.net"},
      {"https://doh.example.net:8443/dns-query", "doh.example.net:8443/dns-query"},
      {"https://doh.example.net/dns-query/", "doh.example.net/dns-query"},
      {"doh.example.net/", "doh.example.net"},       // no scheme: only the trailing "/" goes
      {"doh.example.net//", "doh.example.net/"},     // only one "/" goes
      {"http://doh.example.net/", "http://doh.example.net"},  // another scheme stays
      {"https://a.example/https://b", "a.example/b"},          // every "https://" goes
      {"xhttps://a.example", "xhttps://a.example"},            // not at the start: unchanged
  };
  for (const Case& k : cases) {
    auto f = readStamp(*FenwixHelper::makeDnsStamp(k.url, "/u"));
    ASSERT_TRUE(f) << k.url;
    EXPECT_EQ(f->host, k.host) << k.url;
    EXPECT_EQ(f->path, "/u") << k.url;
  }
}

TEST_F(FenwixStampTest, OnlyLoneAsciiCharactersReachTheStamp) {
  // "é" precomposed and as "e" + combining accent are both one non-ASCII character.
  auto f = readStamp(*FenwixHelper::makeDnsStamp("https://d\xc3\xa9.example/", "/u\xe2\x82\xac" "1"));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->host, "d.example");
  EXPECT_EQ(f->path, "/u1");
  f = readStamp(*FenwixHelper::makeDnsStamp("https://de\xcc\x81x.example", "/a\r\nb"));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->host, "dx.example");
  EXPECT_EQ(f->path, "/a\nb");
  // An overlong encoding of "/" is not a "/".
  f = readStamp(*FenwixHelper::makeDnsStamp("https://x.example\xc0\xaf", "/u"));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->host, "x.example");
}

TEST_F(FenwixStampTest, FieldsLongerThanOneLengthByteAreSkippedNotCut) {
  const std::string host255 = std::string(251, 'h') + ".net";
  auto f = readStamp(*FenwixHelper::makeDnsStamp("https://" + host255 + "/", "/u"));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->host, host255);
  EXPECT_TRUE(log->texts(LogFlag::Error).empty());

  EXPECT_EQ(FenwixHelper::makeDnsStamp("https://x" + host255, "/u"), std::nullopt);
  EXPECT_EQ(FenwixHelper::makeDnsStamp("https://doh.example.net/", "/" + std::string(255, 'u')), std::nullopt);
  // Left-out characters do not count.
  EXPECT_TRUE(FenwixHelper::makeDnsStamp("https://" + host255 + "\xc3\xa9", "/u").has_value());
  EXPECT_EQ(log->texts(LogFlag::Error).size(), 2u);
}

class FenwixConfigTest : public testing::SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    bundle_ = testing::layOutAppBundle();
    resources_ = bundle_ + "/Contents/Resources";
    FenwixHelper::setUserIdProvider([this]() -> std::optional<std::string> {
      std::lock_guard<std::mutex> lock(uidMutex_);
      return uid_;
    });
  }
  void TearDown() override {
    FenwixHelper::setUserIdProvider(nullptr);
    testing::forgetAppBundle();
    SimulatedMacTest::TearDown();
  }
  void signIn(std::optional<std::string> uid) {
    std::lock_guard<std::mutex> lock(uidMutex_);
    uid_ = std::move(uid);
  }
  std::string live() const { return resources_ + "/dnscrypt-proxy.toml"; }
  std::string base() const { return readFile(resources_ + "/original-config.data"); }
  static std::string sections(const std::string& first, const std::string& second) {
    return "[static.'vorellin-primary']\nstamp = '" + first + "'\n[static.'vorellin-secondary']\nstamp = '" + second +
           "'\n";
  }
  static std::string stamp(const std::string& url, const std::string& uid) {
    return *FenwixHelper::makeDnsStamp(url, "/" + uid);
  }
  // Files in the resource folder besides the ones a test expects.
  // Files beside the application's own resources, the live configuration and the proxy.
  size_t strayFiles() const {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(resources_)) {
      const std::string name = entry.path().filename().string();
      // Anything beyond what the application folder ships and the live configuration is stray.
      const bool shipped = std::filesystem::exists(testing::builtAppBundle() + "/Contents/Resources/" + name);
      if (!shipped && name != "dnscrypt-proxy.toml") ++n;
    }
    return n;
  }

  std::string bundle_, resources_;
  std::mutex uidMutex_;
  std::optional<std::string> uid_ = "user-1";
};

TEST_F(FenwixConfigTest, BaseConfigurationListensOnLoopbackAndNamesTheTwoStaticServers) {
  const std::string text = base();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/", "https://doh-b.example/"}));
  FenwixHelper::writeFenwixConfig();
  toml::table config = toml::parse(readFile(live()));
  auto listen = config["listen_addresses"].as_array();
  ASSERT_TRUE(listen);
  ASSERT_EQ(listen->size(), 1u);
  EXPECT_EQ(listen->get(0)->value<std::string>(), "127.0.0.1:53");
  auto names = config["server_names"].as_array();
  ASSERT_TRUE(names);
  ASSERT_EQ(names->size(), 2u);
  EXPECT_EQ(names->get(0)->value<std::string>(), "vorellin-primary");
  EXPECT_EQ(names->get(1)->value<std::string>(), "vorellin-secondary");
  EXPECT_EQ(config["static"]["vorellin-primary"]["stamp"].value<std::string>(), stamp("https://doh-a.example/", "user-1"));
  EXPECT_EQ(config["static"]["vorellin-secondary"]["stamp"].value<std::string>(),
            stamp("https://doh-b.example/", "user-1"));
}

TEST_F(FenwixConfigTest, FirstTwoResolversAreWrittenAndOneServesAsBoth) {
  const std::string a = "https://doh-a.example/", b = "https://doh-b.example/dns", c = "https://doh-c.example/";
  struct Case {
    Strings urls;
    std::string first, second;
  };
  const std::vector<Case> cases = {
      {{a}, a, a},
      {{a, b}, a, b},
      {{a, b, c}, a, b},
      {{b, b}, b, b},
      {{std::string("https://") + std::string(300, 'x'), b, c}, b, c},  // a resolver too long is skipped
  };
  for (const Case& k : cases) {
    set(keys::kFenwixDnsUrls, list(k.urls));
    FenwixHelper::writeFenwixConfig();
    EXPECT_EQ(readFile(live()), base() + sections(stamp(k.first, "user-1"), stamp(k.second, "user-1")))
        << k.urls.size() << " urls starting " << k.urls[0].substr(0, 30);
  }
  // Rewriting never piles up sections.
  FenwixHelper::writeFenwixConfig();
  const std::string text = readFile(live());
  EXPECT_EQ(text.find("[static.'vorellin-primary']"), text.rfind("[static.'vorellin-primary']"));
}

TEST_F(FenwixConfigTest, NothingChangesWithoutUserOrResolvers) {
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/"}));
  FenwixHelper::writeFenwixConfig();
  const std::string before = readFile(live());
  ASSERT_FALSE(before.empty());

  signIn(std::nullopt);
  set(keys::kFenwixDnsUrls, list({"https://doh-b.example/"}));
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(readFile(live()), before);

  signIn("user-2");
  set(keys::kFenwixDnsUrls, list({}));
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(readFile(live()), before);

  // Only resolvers that cannot be stamped: also no change.
  set(keys::kFenwixDnsUrls, list({"https://" + std::string(300, 'x')}));
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(readFile(live()), before);

  // The user's id is the stamp's path.
  set(keys::kFenwixDnsUrls, list({"https://doh-b.example/"}));
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(readStamp(stamp("https://doh-b.example/", "user-2"))->path, "/user-2");
  EXPECT_EQ(readFile(live()), base() + sections(stamp("https://doh-b.example/", "user-2"),
                                                stamp("https://doh-b.example/", "user-2")));
}

TEST_F(FenwixConfigTest, MissingBaseLeavesOnlyTheStaticSections) {
  std::filesystem::remove(resources_ + "/original-config.data");
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/"}));
  FenwixHelper::writeFenwixConfig();
  const std::string s = stamp("https://doh-a.example/", "user-1");
  EXPECT_EQ(readFile(live()), sections(s, s));
}

TEST_F(FenwixConfigTest, FileIsReplacedWholeAndConcurrentWritersNeverShowAPart) {
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/"}));
  FenwixHelper::writeFenwixConfig();
  // Held open, the first file keeps its inode, so no later file can be given the same number.
  const int held = ::open(live().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  struct stat first {};
  ASSERT_EQ(::fstat(held, &first), 0);

  const std::string expected = base() + sections(stamp("https://doh-a.example/", "user-1"),
                                                 stamp("https://doh-a.example/", "user-1"));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    while (!done) {
      std::ifstream in(live(), std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      ++reads;
      if (text != expected) ++bad;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([] {
      for (int i = 0; i < 50; ++i) FenwixHelper::writeFenwixConfig();
    });
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(readFile(live()), expected);
  EXPECT_EQ(strayFiles(), 0u);

  // A new file took the old one's place, rather than the old one being rewritten in place.
  struct stat last {};
  ASSERT_EQ(::stat(live().c_str(), &last), 0);
  EXPECT_NE(first.st_ino, last.st_ino);
  struct stat old {};
  ASSERT_EQ(::fstat(held, &old), 0);
  EXPECT_EQ(old.st_nlink, 0u);  // the first file is gone from the folder, not rewritten
  ::close(held);
}

TEST_F(FenwixConfigTest, FailedReplacementSaysSoAndLeavesNoTemporaryFile) {
  // A folder in the live file's place cannot be replaced by a file.
  std::filesystem::create_directories(live() + "/keep");
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/"}));
  ::testing::internal::CaptureStdout();
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Cannot write file\n");
  EXPECT_TRUE(std::filesystem::is_directory(live() + "/keep"));
  EXPECT_EQ(strayFiles(), 0u);
}

TEST_F(FenwixConfigTest, DeleteRemovesTheLiveFileAndAlwaysLogs) {
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/"}));
  FenwixHelper::writeFenwixConfig();
  ASSERT_TRUE(std::filesystem::exists(live()));
  FenwixHelper::deleteConfigFile();
  EXPECT_FALSE(std::filesystem::exists(live()));
  EXPECT_TRUE(std::filesystem::exists(resources_ + "/original-config.data"));
  FenwixHelper::deleteConfigFile();
  EXPECT_EQ(log->texts(LogFlag::Debug, "deleteConfigFile()"), Strings({"delete FENWIX config", "delete FENWIX config"}));
}

TEST_F(FenwixConfigTest, SettingsAreReadInTurnSoAWriterWithOlderOnesNeverReplacesANewerFile) {
  set(keys::kFenwixDnsUrls, list({"https://doh-old.example/"}));
  std::promise<void> olderReading;
  std::atomic<bool> first{true}, newerDone{false};
  // The first writer is held while it looks up the user, after it has read the resolvers.
  FenwixHelper::setUserIdProvider([&]() -> std::optional<std::string> {
    if (first.exchange(false)) {
      olderReading.set_value();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (!newerDone && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return "user-1";
  });
  std::thread older([] { FenwixHelper::writeFenwixConfig(); });
  olderReading.get_future().wait();
  set(keys::kFenwixDnsUrls, list({"https://doh-new.example/"}));
  std::thread newer([&] {
    FenwixHelper::writeFenwixConfig();
    newerDone = true;
  });
  older.join();
  newer.join();
  const std::string s = stamp("https://doh-new.example/", "user-1");
  EXPECT_EQ(readFile(live()), base() + sections(s, s));
}

TEST_F(FenwixConfigTest, WithoutAMainBundleNothingIsRunByBareNameNorWrittenInTheCurrentFolder) {
  backend::PublicIpEchoServer echo{"198.51.100.5", "/"};
  std::string error;
  ASSERT_TRUE(echo.start(0, &error)) << error;
  platform::net::setAllowsInsecureLoopbackHTTP(true);
  AppUtils::setPublicIpEchoUrls(Strings{echo.url(), echo.url(), echo.url()});
  const std::string here = root_ + "/current";
  std::filesystem::create_directories(here);
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(here);
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/"}));
  setSwitches(true, true, true);

  platform::Bundle::removeMainBundleForTesting();
  FenwixHelper::resetExecutablePathForTesting();
  EXPECT_EQ(FenwixHelper::executablePath(), std::nullopt);
  EXPECT_EQ(FenwixHelper::configFilePath(), std::nullopt);
  EXPECT_EQ(FenwixHelper::proxyCommandLine(FenwixHelper::kServiceStart), std::nullopt);
  ::testing::internal::CaptureStdout();
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Cannot write file\n");
  // The check cannot install or start what it cannot find: no prompt, and the plain resolvers take over.
  bool healthy = true;
  AppUtils::dnsTransitionQueue()->sync([&] { healthy = FenwixHelper::checkFenwixService(false); });
  EXPECT_FALSE(healthy);
  EXPECT_EQ(platform::AdministratorApproval::promptCount(), 0);
  prefs()->synchronize();
  EXPECT_FALSE(VrlUserDefault::shared().fenwixState());
  EXPECT_TRUE(std::filesystem::is_empty(here));
  EXPECT_FALSE(log->texts(LogFlag::Error).empty());

  std::filesystem::current_path(before);
  // The fallback's refresh has asked all three before the echo service goes away.
  EXPECT_TRUE(platform::dispatch::RunLoop::runUntil([&] { return echo.requestCount() == 3; }, std::chrono::seconds(20)));
  AppUtils::setPublicIpEchoUrls(std::nullopt);
  platform::net::setAllowsInsecureLoopbackHTTP(false);
}

// No provider set: the user is the one signed in through the default app's authentication client.
TEST_F(FenwixConfigTest, StampsCarryTheIdOfTheUserSignedInThroughTheAuthClient) {
  FenwixHelper::setUserIdProvider(nullptr);
  backend::SeedUser alice;
  alice.email = "alice@example.com";
  alice.password = "correct-horse-battery";
  backend::TestBackend backend({alice}, {"test-api-key"});
  const std::string uid = backend.identity().userByEmail("alice@example.com")->uid;
  ASSERT_FALSE(uid.empty());
  platform::net::setAllowsInsecureLoopbackHTTP(true);
  DAVApp::resetApps();
  DAVAuth::load();
  auto options = DAVOptions::initWithVariruAppID("1:123456789012:ios:0123456789abcdef", "123456789012");
  options->setAPIKey("test-api-key");
  auto dictionary = options->optionsDictionary();
  dictionary[kDAVIdentityServiceURL] = backend.baseURL();
  dictionary[kDAVSecureTokenServiceURL] = backend.baseURL();
  options->setOptionsDictionary(dictionary);
  DAVApp::configureWithOptions(options);
  std::shared_ptr<DAVAuth> auth = DAVAuth::auth();

  // Signed out: nothing to stamp.
  set(keys::kFenwixDnsUrls, list({"https://doh-a.example/", "https://doh-b.example/"}));
  FenwixHelper::writeFenwixConfig();
  EXPECT_FALSE(std::filesystem::exists(live()));

  bool done = false;
  platform::ErrorPtr signInError;
  auth->signInWithEmail("alice@example.com", "correct-horse-battery",
                        [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr error) {
                          signInError = error;
                          done = true;
                        });
  ASSERT_TRUE(platform::dispatch::RunLoop::runUntil([&] { return done; }, std::chrono::seconds(20)));
  ASSERT_EQ(signInError, nullptr) << signInError->localizedDescription();
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(readFile(live()), base() + sections(stamp("https://doh-a.example/", uid), stamp("https://doh-b.example/", uid)));

  // Signed out again: the file stays as it was.
  const std::string signedIn = readFile(live());
  platform::ErrorPtr signOutError;
  ASSERT_TRUE(auth->signOut(&signOutError));
  set(keys::kFenwixDnsUrls, list({"https://doh-c.example/"}));
  FenwixHelper::writeFenwixConfig();
  EXPECT_EQ(readFile(live()), signedIn);

  auth.reset();
  DAVApp::resetApps();
  platform::net::setAllowsInsecureLoopbackHTTP(false);
}

}  // namespace
}  // namespace vorellin
