#include "platform/foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

struct Token : Coding {
  static constexpr const char* kArchiveClassName = "TestToken";
  std::string refresh;
  std::optional<Date> expiry;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(KeyedArchiver& c) const override {
    c.encodeString("refreshToken", refresh);
    c.encodeDate("expiry", expiry);
  }
  static std::shared_ptr<Token> initWithCoder(KeyedUnarchiver& c) {
    auto refresh = c.decodeString("refreshToken");
    if (!refresh) return nullptr;  // a token without its refresh value is no token
    auto t = std::make_shared<Token>();
    t->refresh = *refresh;
    t->expiry = c.decodeDate("expiry");
    return t;
  }
};

struct Provider : Coding {
  static constexpr const char* kArchiveClassName = "TestProvider";
  std::string id;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(KeyedArchiver& c) const override { c.encodeString("providerID", id); }
  static std::shared_ptr<Provider> initWithCoder(KeyedUnarchiver& c) {
    auto p = std::make_shared<Provider>();
    p->id = c.decodeString("providerID").value_or("");
    return p;
  }
};

struct Account : Coding {
  static constexpr const char* kArchiveClassName = "TestAccount";
  std::string uid;
  std::optional<std::string> email;
  bool anonymous = false;
  int64_t count = 0;
  double ratio = 0;
  Data blob;
  Value claims;
  std::shared_ptr<Token> token;
  std::map<std::string, std::shared_ptr<Provider>> providers;
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(KeyedArchiver& c) const override {
    c.encodeString("userID", uid);
    c.encodeString("email", email);
    c.encodeBool("anonymous", anonymous);
    c.encodeInteger("count", count);
    c.encodeDouble("ratio", ratio);
    c.encodeData("blob", blob);
    c.encodeValue("claims", claims);
    c.encodeObject("tokenService", token);
    c.encodeObjectDictionary("providerData", providers);
  }
  static std::shared_ptr<Account> initWithCoder(KeyedUnarchiver& c) {
    auto a = std::make_shared<Account>();
    a->uid = c.decodeString("userID").value_or("");
    a->email = c.decodeString("email");
    a->anonymous = c.decodeBool("anonymous");
    a->count = c.decodeInteger("count");
    a->ratio = c.decodeDouble("ratio");
    a->blob = c.decodeData("blob").value_or("");
    a->claims = c.decodeValue("claims").value_or(Value());
    a->token = c.decodeObjectOfClass<Token>("tokenService");
    if (!a->token) return nullptr;
    a->providers = c.decodeObjectDictionaryOfClass<Provider>("providerData").value_or(decltype(a->providers){});
    return a;
  }
};

Account sample() {
  Account a;
  a.uid = "uid-1";
  a.email = "ann@example.com";
  a.anonymous = true;
  a.count = -7;
  a.ratio = 0.25;
  a.blob = std::string("\0\x01\xff", 3);
  a.claims = Value(Dictionary{{"exp", Value(1700000000)}, {"$class", Value("not an object")}});
  a.token = std::make_shared<Token>();
  a.token->refresh = "r-1";
  a.token->expiry = Date{1700000000.123456789};
  auto p = std::make_shared<Provider>();
  p->id = "password";
  a.providers["password"] = p;
  return a;
}

TEST(KeyedArchiverTest, RoundTripKeepsEveryValue) {
  for (PlistFormat format : {PlistFormat::Binary, PlistFormat::Xml}) {
    Account a = sample();
    Data data = KeyedArchiver::archivedData("app_user", a, format);
    auto coder = KeyedUnarchiver::create(data);
    ASSERT_NE(coder, nullptr);
    auto b = coder->decodeObjectOfClass<Account>("app_user");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->uid, "uid-1");
    EXPECT_EQ(b->email, a.email);
    EXPECT_TRUE(b->anonymous);
    EXPECT_EQ(b->count, -7);
    EXPECT_EQ(b->ratio, 0.25);
    EXPECT_EQ(b->blob, a.blob);
    EXPECT_EQ(b->claims, a.claims);
    EXPECT_EQ(b->token->refresh, "r-1");
    // A date comes back exactly, to the last bit of its double.
    ASSERT_TRUE(b->token->expiry.has_value());
    EXPECT_EQ(b->token->expiry->secondsSince1970, 1700000000.123456789);
    ASSERT_EQ(b->providers.size(), 1u);
    EXPECT_EQ(b->providers["password"]->id, "password");
    EXPECT_EQ(coder->error(), nullptr);
  }
}

TEST(KeyedArchiverTest, AbsentValuesStayAbsent) {
  Account a = sample();
  a.email.reset();
  a.token->expiry.reset();
  auto coder = KeyedUnarchiver::create(KeyedArchiver::archivedData("k", a));
  ASSERT_NE(coder, nullptr);
  auto b = coder->decodeObjectOfClass<Account>("k");
  ASSERT_NE(b, nullptr);
  EXPECT_FALSE(b->email.has_value());
  EXPECT_FALSE(b->token->expiry.has_value());
  EXPECT_FALSE(coder->containsValueForKey("other"));
  EXPECT_EQ(coder->decodeObjectOfClass<Account>("other"), nullptr);
  EXPECT_EQ(coder->error(), nullptr);  // absence is no failure
}

TEST(KeyedArchiverTest, ObjectWithoutRequiredPartDecodesAsNothing) {
  Account a = sample();
  a.token->refresh.clear();
  KeyedArchiver archiver;
  // Written without its refresh token, the nested token does not decode, and so neither does the account.
  struct NoRefresh : Token {
    void encodeWithCoder(KeyedArchiver& c) const override { c.encodeDate("expiry", expiry); }
  };
  auto bare = std::make_shared<NoRefresh>();
  a.token = bare;
  archiver.encodeObject("k", &a);
  auto coder = KeyedUnarchiver::create(archiver.encodedData());
  ASSERT_NE(coder, nullptr);
  EXPECT_EQ(coder->decodeObjectOfClass<Account>("k"), nullptr);
}

TEST(KeyedArchiverTest, ClassCheckRefusesAnotherClass) {
  Provider p;
  p.id = "password";
  auto coder = KeyedUnarchiver::create(KeyedArchiver::archivedData("k", p));
  ASSERT_NE(coder, nullptr);
  EXPECT_EQ(coder->decodeObjectOfClass<Account>("k"), nullptr);
  ASSERT_NE(coder->error(), nullptr);
  EXPECT_EQ(coder->error()->domain(), kKeyedArchiveErrorDomain);
  EXPECT_NE(coder->error()->localizedDescription().find("TestProvider"), std::string::npos);
  // A plain value under the key is not an object either.
  KeyedArchiver archiver;
  archiver.encodeString("k", "text");
  auto coder2 = KeyedUnarchiver::create(archiver.encodedData());
  ASSERT_NE(coder2, nullptr);
  EXPECT_EQ(coder2->decodeObjectOfClass<Provider>("k"), nullptr);
  EXPECT_NE(coder2->error(), nullptr);
  // Typed reads of the wrong kind give nothing.
  EXPECT_FALSE(coder2->decodeDate("k").has_value());
  EXPECT_FALSE(coder2->decodeData("k").has_value());
  EXPECT_EQ(coder2->decodeString("k"), "text");
}

TEST(KeyedArchiverTest, RejectsBytesThatAreNoArchive) {
  std::string error;
  EXPECT_EQ(KeyedUnarchiver::create("garbage", &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(KeyedUnarchiver::create(serializePropertyList(Value(Dictionary{{"a", Value(1)}})), &error), nullptr);
  EXPECT_EQ(KeyedUnarchiver::create("", &error), nullptr);
}

TEST(KeyedArchiverTest, FinishedArchiveTakesNoMoreValues) {
  KeyedArchiver archiver;
  archiver.encodeString("a", "1");
  archiver.finishEncoding();
  archiver.encodeString("b", "2");
  auto coder = KeyedUnarchiver::create(archiver.encodedData());
  ASSERT_NE(coder, nullptr);
  EXPECT_EQ(coder->decodeString("a"), "1");
  EXPECT_FALSE(coder->containsValueForKey("b"));
}

}  // namespace
}  // namespace platform
