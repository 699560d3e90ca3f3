#include "backend/src/IdentityService.h"

#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "backend/src/TestBackend.h"
#include "platform/foundation/Base64.h"

namespace backend {
namespace {

using json = nlohmann::json;

struct Reply {
  int status = 0;
  json body;
};

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class IdentityServiceTest : public ::testing::Test {
 protected:
  IdentityServiceTest()
      : backend_({SeedUser{"uid-ann", "ann@example.com", "secret123", "Ann", "", false, true},
                  SeedUser{"uid-bob", "bob@example.com", "hunter22", "Bob", "", true, false}}) {}

  Reply post(const std::string& path, const json& body, const std::string& key = "test-key") {
    httplib::Client client("127.0.0.1", backend_.port());
    auto res = client.Post((path + "?key=" + key).c_str(), body.dump(), "application/json");
    if (!res) return {};
    return {res->status, json::parse(res->body, nullptr, false)};
  }
  Reply call(const std::string& name, const json& body) {
    return post("/identityservice/v3/relyingparty/" + name, body);
  }
  Reply exchange(const std::string& refreshToken) {
    return post("/v1/token", {{"grantType", "refresh_token"}, {"refreshToken", refreshToken}});
  }
  static std::string keyword(const Reply& r) {
    return r.body.is_object() && r.body.contains("error") ? r.body["error"].value("message", "") : "";
  }
  Reply signIn(const std::string& email, const std::string& password) {
    return call("verifyPassword", {{"email", email}, {"password", password}, {"returnSecureToken", true}});
  }
  static json payloadOf(const std::string& token) {
    auto first = token.find('.');
    auto second = token.find('.', first + 1);
    auto bytes = platform::base64URLDecode(token.substr(first + 1, second - first - 1));
    return bytes ? json::parse(*bytes, nullptr, false) : json();
  }

  TestBackend backend_;
};

TEST_F(IdentityServiceTest, SignInWithRightAndWrongPassword) {
  auto ok = signIn("ann@example.com", "secret123");
  ASSERT_EQ(ok.status, 200) << ok.body.dump();
  EXPECT_EQ(ok.body["localId"], "uid-ann");
  EXPECT_EQ(ok.body["email"], "ann@example.com");
  EXPECT_EQ(ok.body["displayName"], "Ann");
  EXPECT_EQ(ok.body["expiresIn"], "3600");
  ASSERT_TRUE(ok.body["idToken"].is_string());
  ASSERT_TRUE(ok.body["refreshToken"].is_string());
  auto claims = backend_.identity().verifyIDToken(ok.body["idToken"].get<std::string>());
  ASSERT_TRUE(claims.has_value());
  EXPECT_EQ((*claims)["user_id"], "uid-ann");
  EXPECT_EQ((*claims)["sub"], "uid-ann");
  EXPECT_EQ((*claims)["email"], "ann@example.com");
  EXPECT_EQ((*claims)["exp"].get<int64_t>() - (*claims)["iat"].get<int64_t>(), 3600);
  EXPECT_EQ((*claims)["auth_time"], (*claims)["iat"]);

  auto wrong = signIn("ann@example.com", "secret124");
  EXPECT_EQ(wrong.status, 400);
  EXPECT_EQ(keyword(wrong), "INVALID_PASSWORD");
  EXPECT_EQ(wrong.body["error"]["code"], 400);
  EXPECT_EQ(keyword(signIn("nobody@example.com", "secret123")), "EMAIL_NOT_FOUND");
  EXPECT_EQ(keyword(signIn("not-an-address", "secret123")), "INVALID_EMAIL");
  EXPECT_EQ(keyword(signIn("", "secret123")), "MISSING_EMAIL");
  EXPECT_EQ(keyword(call("verifyPassword", {{"password", "x"}})), "MISSING_EMAIL");
  // A disabled account says so only to whoever knows its password.
  EXPECT_EQ(keyword(signIn("bob@example.com", "wrong-one")), "INVALID_PASSWORD");
  auto disabled = signIn("bob@example.com", "hunter22");
  EXPECT_EQ(disabled.status, 400);
  EXPECT_EQ(keyword(disabled).rfind("USER_DISABLED", 0), 0u);
  // E-mail addresses match whatever their case.
  EXPECT_EQ(signIn("ANN@example.com", "secret123").status, 200);
}

TEST_F(IdentityServiceTest, SignUpAndItsRefusals) {
  auto created = call("signupNewUser",
                      {{"email", "cy@example.com"}, {"password", "longenough"}, {"displayName", "Cy"},
                       {"returnSecureToken", true}});
  ASSERT_EQ(created.status, 200) << created.body.dump();
  std::string uid = created.body["localId"];
  EXPECT_FALSE(uid.empty());
  EXPECT_EQ(created.body["expiresIn"], "3600");
  EXPECT_TRUE(created.body["refreshToken"].is_string());
  EXPECT_EQ(signIn("cy@example.com", "longenough").body["localId"], uid);
  ASSERT_TRUE(backend_.identity().userByID(uid).has_value());
  EXPECT_EQ(backend_.identity().userByID(uid)->displayName, "Cy");

  EXPECT_EQ(keyword(call("signupNewUser", {{"email", "Cy@example.com"}, {"password", "another1"}})), "EMAIL_EXISTS");
  EXPECT_EQ(keyword(call("signupNewUser", {{"email", "dee@example.com"}, {"password", "12345"}})),
            "WEAK_PASSWORD : Password should be at least 6 characters");
  EXPECT_EQ(keyword(call("signupNewUser", {{"email", "bad address"}, {"password", "123456"}})), "INVALID_EMAIL");
  EXPECT_EQ(keyword(call("signupNewUser", {{"password", "123456"}})), "MISSING_EMAIL");

  auto anonymous = call("signupNewUser", {{"returnSecureToken", true}});
  ASSERT_EQ(anonymous.status, 200);
  EXPECT_EQ(payloadOf(anonymous.body["idToken"])["sign_in_provider"], "anonymous");
}

// Whatever a caller sends is kept, saved with every change and put into tokens and mails: an address
// longer than 254 bytes is refused as invalid wherever one is taken, a display name or photo URL
// longer than 4096 bytes by name, and nothing of such a request is kept.
TEST_F(IdentityServiceTest, OverlongAddressesNamesAndPhotoURLsAreRefusedOnEveryPath) {
  const std::string domain = "@example.com";
  const std::string longest = std::string(254 - domain.size(), 'l') + domain;
  const std::string overlong = "o" + longest;
  auto session = signIn("ann@example.com", "secret123");
  ASSERT_EQ(session.status, 200);
  const std::string token = session.body["idToken"];
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "EMAIL_SIGNIN"}, {"email", "ann@example.com"}}).status, 200);
  const std::string linkCode = backend_.identity().sentMails().back().oobCode;
  const size_t mailed = backend_.identity().sentMails().size();

  EXPECT_EQ(keyword(call("signupNewUser", {{"email", overlong}, {"password", "long-pass"}})), "INVALID_EMAIL");
  EXPECT_EQ(keyword(signIn(overlong, "long-pass")), "INVALID_EMAIL");
  for (const char* type : {"EMAIL_SIGNIN", "PASSWORD_RESET"})
    EXPECT_EQ(keyword(call("getOobConfirmationCode", {{"requestType", type}, {"email", overlong}})), "INVALID_EMAIL")
        << type;
  EXPECT_EQ(keyword(call("setAccountInfo", {{"idToken", token}, {"email", overlong}})), "INVALID_EMAIL");
  EXPECT_EQ(keyword(call("emailLinkSignin", {{"email", overlong}, {"oobCode", linkCode}})), "INVALID_EMAIL");
  EXPECT_EQ(keyword(call("createAuthUri", {{"identifier", overlong}, {"continueUri", "http://localhost"}})),
            "INVALID_IDENTIFIER");
  EXPECT_EQ(backend_.identity().sentMails().size(), mailed);
  EXPECT_FALSE(backend_.identity().userByEmail(overlong));
  EXPECT_EQ(backend_.identity().userByID("uid-ann")->email, "ann@example.com");

  const std::string name(4096, 'n'), url = "https://vorellin.example/" + std::string(4096 - 25, 'p');
  auto refusedAs = [&](const Reply& r, const std::string& expected) {
    return r.status == 400 && keyword(r).rfind(expected + " : ", 0) == 0;
  };
  EXPECT_TRUE(refusedAs(call("signupNewUser", {{"displayName", name + "n"}, {"returnSecureToken", true}}),
                        "INVALID_DISPLAY_NAME"));
  EXPECT_TRUE(refusedAs(
      call("signupNewUser", {{"email", "dee@example.com"}, {"password", "dee-pass"}, {"displayName", name + "n"}}),
      "INVALID_DISPLAY_NAME"));
  EXPECT_FALSE(backend_.identity().userByEmail("dee@example.com"));
  EXPECT_TRUE(
      refusedAs(call("setAccountInfo", {{"idToken", token}, {"displayName", name + "n"}}), "INVALID_DISPLAY_NAME"));
  EXPECT_TRUE(refusedAs(call("setAccountInfo", {{"idToken", token}, {"photoUrl", url + "p"}}), "INVALID_PHOTO_URL"));
  EXPECT_EQ(backend_.identity().userByID("uid-ann")->displayName, "Ann");
  EXPECT_EQ(backend_.identity().userByID("uid-ann")->photoUrl, "");

  // Up to the bounds, everything is taken.
  auto created = call("signupNewUser", {{"email", longest}, {"password", "long-pass"}, {"displayName", name}});
  ASSERT_EQ(created.status, 200) << keyword(created);
  EXPECT_EQ(signIn(longest, "long-pass").status, 200);
  EXPECT_EQ(call("getOobConfirmationCode", {{"requestType", "EMAIL_SIGNIN"}, {"email", longest}}).status, 200);
  EXPECT_EQ(backend_.identity().sentMails().back().email, longest);
  ASSERT_EQ(call("setAccountInfo", {{"idToken", token}, {"displayName", name}, {"photoUrl", url}}).status, 200);
  EXPECT_EQ(backend_.identity().userByID("uid-ann")->displayName, name);
  EXPECT_EQ(backend_.identity().userByID("uid-ann")->photoUrl, url);
}

TEST_F(IdentityServiceTest, TokenExchangeGivesANewTokenUntilRevoked) {
  auto session = signIn("ann@example.com", "secret123");
  std::string idToken = session.body["idToken"];
  std::string refresh = session.body["refreshToken"];

  auto first = exchange(refresh);
  ASSERT_EQ(first.status, 200) << first.body.dump();
  EXPECT_EQ(first.body["expires_in"], "3600");
  EXPECT_EQ(first.body["refresh_token"], refresh);
  EXPECT_EQ(first.body["user_id"], "uid-ann");
  EXPECT_EQ(first.body["access_token"], first.body["id_token"]);
  EXPECT_NE(first.body["access_token"], idToken);
  auto second = exchange(refresh);
  ASSERT_EQ(second.status, 200);
  EXPECT_NE(second.body["access_token"], first.body["access_token"]);
  // The sign-in time travels with the refresh token.
  EXPECT_EQ(payloadOf(second.body["access_token"])["auth_time"], payloadOf(idToken)["auth_time"]);

  // The form-encoded variant of the exchange is understood as well.
  httplib::Client client("127.0.0.1", backend_.port());
  auto form = client.Post("/v1/token?key=k", "grant_type=refresh_token&refresh_token=" + refresh,
                          "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 200);

  EXPECT_EQ(keyword(exchange("no-such-token")), "INVALID_ID_TOKEN");
  EXPECT_EQ(keyword(post("/v1/token", {{"grantType", "authorization_code"}, {"code", "x"}})), "INVALID_GRANT_TYPE");
  EXPECT_EQ(keyword(post("/v1/token", {{"grantType", "refresh_token"}})), "MISSING_REFRESH_TOKEN");

  ASSERT_TRUE(backend_.identity().revokeRefreshToken(refresh));
  EXPECT_EQ(keyword(exchange(refresh)), "TOKEN_EXPIRED");

  auto other = signIn("ann@example.com", "secret123").body["refreshToken"].get<std::string>();
  ASSERT_EQ(exchange(other).status, 200);
  backend_.identity().setUserDisabled("uid-ann", true);
  EXPECT_EQ(keyword(exchange(other)), "USER_DISABLED");
  backend_.identity().setUserDisabled("uid-ann", false);
  backend_.identity().revokeRefreshTokens("uid-ann");
  EXPECT_EQ(keyword(exchange(other)), "TOKEN_EXPIRED");
}

// What a sign-in saves does not grow with the sign-ins before it: an account keeps its newest 100
// refresh tokens, and the oldest stops working, also when the older ones were made before a restart.
// Nor with the accounts that came and went: a deleted account's tokens go with it and answer as
// unknown, and those a file still holds of an account that is gone are dropped at the start.
TEST_F(IdentityServiceTest, StoredRefreshTokensStayWithinTheNewestHundredOfEachAccountThatIsStillThere) {
  std::vector<std::string> tokens;
  for (int i = 0; i < 100; ++i) {
    auto session = signIn("ann@example.com", "secret123");
    ASSERT_EQ(session.status, 200);
    tokens.push_back(session.body["refreshToken"]);
  }
  const std::string carl = backend_.identity().addUser({"uid-carl", "carl@example.com", "carl-pass"});
  const std::string dora = backend_.identity().addUser({"uid-dora", "dora@example.com", "dora-pass"});
  const std::string carlRefresh = signIn("carl@example.com", "carl-pass").body["refreshToken"];
  const std::string doraRefresh = signIn("dora@example.com", "dora-pass").body["refreshToken"];
  ASSERT_TRUE(backend_.identity().deleteUser(dora));
  EXPECT_EQ(keyword(exchange(doraRefresh)), "INVALID_ID_TOKEN");
  // Carl's account goes while the service is down, as a program that kept the tokens of deleted
  // accounts left its files.
  backend_.stop();
  const std::string usersFile = backend_.dataDir() + "/users.json";
  json users = json::parse(readAll(usersFile));
  users["users"].erase(std::remove_if(users["users"].begin(), users["users"].end(),
                                      [&](const json& u) { return u["uid"] == carl; }),
                       users["users"].end());
  std::ofstream(usersFile) << users.dump(2);
  backend_.start();
  EXPECT_EQ(keyword(exchange(carlRefresh)), "INVALID_ID_TOKEN");

  auto newest = signIn("ann@example.com", "secret123");
  ASSERT_EQ(newest.status, 200);
  EXPECT_EQ(keyword(exchange(tokens[0])), "INVALID_ID_TOKEN");
  EXPECT_EQ(exchange(tokens[1]).status, 200);
  EXPECT_EQ(exchange(tokens[99]).status, 200);
  EXPECT_EQ(exchange(newest.body["refreshToken"]).status, 200);
  for (int i = 0; i < 50; ++i) {
    auto anonymous = call("signupNewUser", {{"returnSecureToken", true}});
    ASSERT_EQ(anonymous.status, 200);
    ASSERT_EQ(call("deleteAccount", {{"idToken", anonymous.body["idToken"]}}).status, 200);
    if (i == 0) {
      EXPECT_EQ(keyword(exchange(anonymous.body["refreshToken"])), "INVALID_ID_TOKEN");
    }
  }
  const json saved = json::parse(readAll(backend_.dataDir() + "/refresh-tokens.json"));
  EXPECT_EQ(saved["tokens"].size(), 100u);
  EXPECT_EQ(std::count_if(saved["tokens"].begin(), saved["tokens"].end(),
                          [](const json& t) { return t["uid"] == "uid-ann"; }),
            100);
}

TEST_F(IdentityServiceTest, TokensAreSignedAndTamperingIsDetected) {
  std::string token = signIn("ann@example.com", "secret123").body["idToken"];
  ASSERT_EQ(std::count(token.begin(), token.end(), '.'), 2);
  EXPECT_TRUE(backend_.identity().signer().verify(token).has_value());
  json payload = payloadOf(token);
  payload["user_id"] = payload["sub"] = "uid-bob";
  std::string forged = token.substr(0, token.find('.') + 1) + platform::base64URLEncode(payload.dump()) +
                       token.substr(token.rfind('.'));
  EXPECT_FALSE(backend_.identity().signer().verify(forged).has_value());
  TokenSigner stranger(TokenSigner::generateKey(), "other");
  EXPECT_FALSE(backend_.identity().signer().verify(stranger.sign(payload)).has_value());
  EXPECT_EQ(keyword(call("getAccountInfo", {{"idToken", forged}})), "INVALID_ID_TOKEN");
  EXPECT_EQ(keyword(call("getAccountInfo", {{"idToken", "a.b"}})), "INVALID_ID_TOKEN");
  std::string expired = backend_.identity().mintIDToken("uid-ann", 1000, 3600);
  EXPECT_EQ(keyword(call("getAccountInfo", {{"idToken", expired}})), "TOKEN_EXPIRED");
}

TEST_F(IdentityServiceTest, AccountInfoAndUpdates) {
  std::string token = signIn("ann@example.com", "secret123").body["idToken"];
  auto info = call("getAccountInfo", {{"idToken", token}});
  ASSERT_EQ(info.status, 200) << info.body.dump();
  ASSERT_EQ(info.body["users"].size(), 1u);
  json user = info.body["users"][0];
  EXPECT_EQ(user["localId"], "uid-ann");
  EXPECT_EQ(user["email"], "ann@example.com");
  EXPECT_EQ(user["emailVerified"], true);
  EXPECT_TRUE(user["createdAt"].is_string());
  EXPECT_TRUE(user["lastLoginAt"].is_string());
  EXPECT_EQ(user["providerUserInfo"][0]["providerId"], "password");
  // Present (the account has a password) but never the stored hash.
  ASSERT_TRUE(user["passwordHash"].is_string());
  EXPECT_EQ(user["passwordHash"], "UkVEQUNURUQ=");

  auto renamed = call("setAccountInfo", {{"idToken", token}, {"displayName", "Annie"}, {"returnSecureToken", true}});
  ASSERT_EQ(renamed.status, 200) << renamed.body.dump();
  EXPECT_EQ(renamed.body["displayName"], "Annie");
  EXPECT_EQ(renamed.body["expiresIn"], "3600");

  std::string oldRefresh = signIn("ann@example.com", "secret123").body["refreshToken"];
  EXPECT_EQ(keyword(call("setAccountInfo", {{"idToken", token}, {"password", "short"}})),
            "WEAK_PASSWORD : Password should be at least 6 characters");
  EXPECT_EQ(keyword(call("setAccountInfo", {{"idToken", token}, {"email", "bob@example.com"}})), "EMAIL_EXISTS");
  auto changed = call("setAccountInfo", {{"idToken", token}, {"password", "newsecret"}, {"returnSecureToken", true}});
  ASSERT_EQ(changed.status, 200);
  // A new password ends the older sessions; the reply carries a working one.
  EXPECT_EQ(keyword(exchange(oldRefresh)), "TOKEN_EXPIRED");
  EXPECT_EQ(exchange(changed.body["refreshToken"]).status, 200);
  EXPECT_EQ(keyword(signIn("ann@example.com", "secret123")), "INVALID_PASSWORD");
  EXPECT_EQ(signIn("ann@example.com", "newsecret").status, 200);

  EXPECT_EQ(keyword(call("setAccountInfo", {{"displayName", "x"}})), "INVALID_ID_TOKEN");
  EXPECT_EQ(call("nonsense", json::object()).status, 404);
}

TEST_F(IdentityServiceTest, PasswordResetMailsAndAPIKeys) {
  auto sent = call("getOobConfirmationCode", {{"requestType", "PASSWORD_RESET"}, {"email", "ann@example.com"}});
  ASSERT_EQ(sent.status, 200) << sent.body.dump();
  EXPECT_EQ(sent.body["email"], "ann@example.com");
  ASSERT_EQ(backend_.identity().sentMails().size(), 1u);
  EXPECT_EQ(backend_.identity().sentMails()[0].requestType, "PASSWORD_RESET");
  EXPECT_EQ(keyword(call("getOobConfirmationCode", {{"requestType", "PASSWORD_RESET"}, {"email", "x@example.com"}})),
            "EMAIL_NOT_FOUND");
  EXPECT_EQ(keyword(call("getOobConfirmationCode", {{"requestType", "PASSWORD_RESET"}})), "MISSING_EMAIL");
  EXPECT_EQ(backend_.identity().sentMails().size(), 1u);

  auto noKey = post("/identityservice/v3/relyingparty/verifyPassword", {{"email", "ann@example.com"}}, "");
  EXPECT_EQ(noKey.status, 400);
  EXPECT_EQ(noKey.body["error"]["errors"][0]["reason"], "keyInvalid");
  backend_.identity().setAPIKeys({"right"});
  auto wrongKey = post("/v1/token", {{"grantType", "refresh_token"}, {"refreshToken", "x"}}, "wrong");
  EXPECT_EQ(wrongKey.body["error"]["errors"][0]["reason"], "keyInvalid");
  EXPECT_EQ(keyword(post("/v1/token", {{"grantType", "refresh_token"}, {"refreshToken", "x"}}, "right")),
            "INVALID_ID_TOKEN");
}

TEST_F(IdentityServiceTest, AnAccountTheAdministratorDisablesIsRefusedByEveryCallThatNamesIt) {
  auto ann = signIn("ann@example.com", "secret123");
  ASSERT_EQ(ann.status, 200);
  const std::string token = ann.body["idToken"], refresh = ann.body["refreshToken"];
  backend_.identity().addFederatedIdentity({"variru.com", "variru-token", "v-1", "vic@example.com"});
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "EMAIL_SIGNIN"}, {"email", "ann.link@example.com"}}).status, 200);
  const std::string linkCode = backend_.identity().sentMails().back().oobCode;

  auto admin = [&](const std::string& path, bool withToken = true) {
    httplib::Client client("127.0.0.1", backend_.port());
    if (withToken) client.set_bearer_token_auth(backend_.server().adminToken());
    auto res = client.Post(path);
    return res ? res->status : 0;
  };
  EXPECT_EQ(admin("/admin/v1/accounts/uid-ann:disable", false), 401);
  EXPECT_EQ(admin("/admin/v1/accounts/uid-nobody:disable"), 404);
  for (const char* malformed : {"/admin/v1/accounts", "/admin/v1/accounts/uid-ann", "/admin/v1/accounts/uid-ann:delete",
                                "/admin/v1/accounts/:disable", "/admin/v1/accounts/a/uid-ann:disable"})
    EXPECT_EQ(admin(malformed), 400) << malformed;
  EXPECT_FALSE(backend_.identity().userByID("uid-ann")->disabled);
  ASSERT_EQ(admin("/admin/v1/accounts/uid-ann:disable"), 200);

  auto refusedWith = [&](const Reply& reply) { return keyword(reply).rfind("USER_DISABLED", 0) == 0; };
  EXPECT_TRUE(refusedWith(call("getAccountInfo", {{"idToken", token}})));
  EXPECT_TRUE(refusedWith(call("setAccountInfo", {{"idToken", token}, {"displayName", "Annie"}})));
  EXPECT_TRUE(refusedWith(call("getOobConfirmationCode", {{"requestType", "VERIFY_EMAIL"}, {"idToken", token}})));
  EXPECT_TRUE(refusedWith(call("verifyAssertion", {{"requestUri", "http://localhost"},
                                                   {"postBody", "providerId=variru.com&id_token=variru-token"},
                                                   {"idToken", token}})));
  EXPECT_TRUE(refusedWith(
      call("emailLinkSignin", {{"email", "ann.link@example.com"}, {"oobCode", linkCode}, {"idToken", token}})));
  EXPECT_TRUE(refusedWith(call("deleteAccount", {{"idToken", token}, {"localId", "uid-ann"}})));
  EXPECT_TRUE(refusedWith(exchange(refresh)));
  EXPECT_TRUE(refusedWith(signIn("ann@example.com", "secret123")));
  std::string why;
  EXPECT_FALSE(backend_.identity().verifyIDToken(token, &why));  // so the document service refuses it too
  EXPECT_EQ(why, "USER_DISABLED");
  EXPECT_TRUE(backend_.identity().userByID("uid-ann"));  // refused, not deleted

  // The state survives a restart, the seed's too: Bob was seeded disabled and is enabled now.
  ASSERT_EQ(admin("/admin/v1/accounts/uid-bob:enable"), 200);
  backend_.restart();
  EXPECT_TRUE(refusedWith(call("getAccountInfo", {{"idToken", token}})));
  EXPECT_EQ(signIn("bob@example.com", "hunter22").status, 200);
  ASSERT_EQ(admin("/admin/v1/accounts/uid-ann:enable"), 200);
  EXPECT_EQ(call("getAccountInfo", {{"idToken", token}}).status, 200);
  EXPECT_EQ(exchange(refresh).status, 200);
}

TEST_F(IdentityServiceTest, EveryMailIsWrittenForAPersonAndItsCodeSurvivesARestartForOneUse) {
  const std::string folder = backend_.identity().mailDirectory();
  EXPECT_EQ(folder, backend_.dataDir() + "/mail");
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string token = signIn("ann@example.com", "secret123").body["idToken"];
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "PASSWORD_RESET"},
                                            {"email", "ann@example.com"},
                                            {"continueUrl", "https://vorellin.example/done?x=1"}})
                .status,
            200);
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "VERIFY_EMAIL"}, {"idToken", token}}).status, 200);
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "EMAIL_SIGNIN"}, {"email", "lee@example.com"}}).status, 200);
  // A changed address is told to the old one (another account's: a change drops the codes issued before).
  auto cy = call("signupNewUser", {{"email", "cy@example.com"}, {"password", "cy-password"}, {"returnSecureToken", true}});
  ASSERT_EQ(cy.status, 200);
  ASSERT_EQ(call("setAccountInfo", {{"idToken", cy.body["idToken"]}, {"email", "cy.new@example.com"}}).status, 200);

  const auto mails = backend_.identity().sentMails();
  ASSERT_EQ(mails.size(), 4u);
  const std::map<std::string, std::string> modes = {{"PASSWORD_RESET", "resetPassword"},
                                                    {"VERIFY_EMAIL", "verifyEmail"},
                                                    {"EMAIL_SIGNIN", "signIn"},
                                                    {"RECOVER_EMAIL", "recoverEmail"}};
  std::map<std::string, std::string> codes;  // by request type
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), mails.size());
  for (const auto& mail : mails) {
    codes[mail.requestType] = mail.oobCode;
    EXPECT_EQ(mail.link.rfind("https://vorellin-local.davedoveapp.com/__/auth/action?mode=" + modes.at(mail.requestType) +
                                  "&oobCode=" + mail.oobCode,
                              0),
              0u)
        << mail.link;
    // Its file: to the address, with the link and the code, readable by its owner only.
    int found = 0;
    for (const auto& file : files) {
      const std::string text = readAll(file.string());
      if (text.find("X-Vorellin-Oob-Code: " + mail.oobCode + "\r\n") == std::string::npos) continue;
      ++found;
      EXPECT_EQ(file.extension(), ".eml");
      EXPECT_NE(text.find("\r\nTo: " + mail.email + "\r\n"), std::string::npos) << text;
      EXPECT_NE(text.find("\r\n\r\n"), std::string::npos) << text;  // headers, then the text
      EXPECT_NE(text.find("    " + mail.link + "\r\n"), std::string::npos) << text;
      EXPECT_NE(text.find("    " + mail.oobCode + "\r\n"), std::string::npos) << text;
      ASSERT_EQ(::stat(file.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(found, 1) << mail.requestType;
  }
  EXPECT_NE(mails[0].link.find("&continueUrl=https%3A%2F%2Fvorellin.example%2Fdone%3Fx%3D1"), std::string::npos);
  EXPECT_EQ(mails[3].email, "cy@example.com");
  EXPECT_EQ(mails[3].newEmail, "cy.new@example.com");
  // Kept as hashes only.
  const std::string kept = readAll(backend_.dataDir() + "/oob-codes.json");
  for (const auto& [type, code] : codes) EXPECT_EQ(kept.find(code), std::string::npos) << type;

  backend_.restart();
  auto check = call("resetPassword", {{"oobCode", codes["RECOVER_EMAIL"]}});
  EXPECT_EQ(check.body["requestType"], "RECOVER_EMAIL");
  EXPECT_EQ(check.body["email"], "cy@example.com");
  EXPECT_EQ(check.body["newEmail"], "cy.new@example.com");
  for (const auto& [type, use] : std::vector<std::pair<std::string, std::function<Reply()>>>{
           {"RECOVER_EMAIL", [&] { return call("setAccountInfo", {{"oobCode", codes["RECOVER_EMAIL"]}}); }},
           {"PASSWORD_RESET",
            [&] { return call("resetPassword", {{"oobCode", codes["PASSWORD_RESET"]}, {"newPassword", "brand-new-pass"}}); }},
           {"VERIFY_EMAIL", [&] { return call("setAccountInfo", {{"oobCode", codes["VERIFY_EMAIL"]}}); }},
           {"EMAIL_SIGNIN",
            [&] { return call("emailLinkSignin", {{"email", "lee@example.com"}, {"oobCode", codes["EMAIL_SIGNIN"]}}); }}}) {
    EXPECT_EQ(use().status, 200) << type;
    EXPECT_EQ(keyword(use()), "INVALID_OOB_CODE") << type;
  }
  EXPECT_EQ(backend_.identity().userByID(cy.body["localId"])->email, "cy@example.com");  // taken back
  EXPECT_EQ(signIn("ann@example.com", "brand-new-pass").status, 200);
  backend_.restart();
  EXPECT_EQ(keyword(call("resetPassword", {{"oobCode", codes["PASSWORD_RESET"]}, {"newPassword", "another-pass"}})),
            "INVALID_OOB_CODE");
}

TEST_F(IdentityServiceTest, EveryChangeOfAddressEndsTheAccountsOtherSessions) {
  auto newestMail = [&](const std::string& type) {
    const auto mails = backend_.identity().sentMails();
    for (auto it = mails.rbegin(); it != mails.rend(); ++it)
      if (it->requestType == type) return *it;
    ADD_FAILURE() << "no " << type << " mail";
    return OobMail{};
  };
  // Linking a mailed sign-in link for a new address: the session elsewhere ends, and so does the one
  // that linked; the reply carries its successor.
  const std::string elsewhere = signIn("ann@example.com", "secret123").body["refreshToken"];
  auto here = signIn("ann@example.com", "secret123");
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "EMAIL_SIGNIN"}, {"email", "ann.link@example.com"}}).status, 200);
  auto linked = call("emailLinkSignin", {{"email", "ann.link@example.com"},
                                         {"oobCode", newestMail("EMAIL_SIGNIN").oobCode},
                                         {"idToken", here.body["idToken"]}});
  ASSERT_EQ(linked.status, 200) << linked.body.dump();
  EXPECT_EQ(keyword(exchange(elsewhere)), "TOKEN_EXPIRED");
  EXPECT_EQ(keyword(exchange(here.body["refreshToken"])), "TOKEN_EXPIRED");
  EXPECT_EQ(exchange(linked.body["refreshToken"]).status, 200);

  // A change through the account's settings, alike.
  const std::string before = signIn("ann.link@example.com", "secret123").body["refreshToken"];
  auto changed = call("setAccountInfo",
                      {{"idToken", linked.body["idToken"]}, {"email", "ann.new@example.com"}, {"returnSecureToken", true}});
  ASSERT_EQ(changed.status, 200) << changed.body.dump();
  EXPECT_EQ(keyword(exchange(before)), "TOKEN_EXPIRED");
  EXPECT_EQ(exchange(changed.body["refreshToken"]).status, 200);

  // Taking an address back with the notice's code ends the sessions of whoever changed it.
  const OobMail notice = newestMail("RECOVER_EMAIL");
  EXPECT_EQ(notice.email, "ann.link@example.com");
  ASSERT_EQ(call("setAccountInfo", {{"oobCode", notice.oobCode}}).status, 200);
  EXPECT_EQ(keyword(exchange(changed.body["refreshToken"])), "TOKEN_EXPIRED");
  EXPECT_EQ(backend_.identity().userByID("uid-ann")->email, "ann.link@example.com");

  // An account without an address that gets the one of a provider it links.
  std::string error;
  ASSERT_TRUE(backend_.identity().applySeed(
      json{{"customTokenKey", platform::base64Encode("custom key")},
           {"federatedIdentities", {{{"providerId", "variru.com"}, {"token", "vt"}, {"federatedId", "v-1"}, {"email", "vic@example.com"}}}}},
      &error))
      << error;
  const std::string custom = TokenSigner("custom key", "").sign({{"uid", "uid-custom"}, {"exp", std::time(nullptr) + 600}});
  auto customSignIn = [&] { return call("verifyCustomToken", {{"token", custom}, {"returnSecureToken", true}}); };
  const std::string other = customSignIn().body["refreshToken"];
  auto viaProvider = call("verifyAssertion", {{"requestUri", "http://localhost"},
                                              {"postBody", "providerId=variru.com&id_token=vt"},
                                              {"idToken", customSignIn().body["idToken"]},
                                              {"returnSecureToken", true}});
  ASSERT_EQ(viaProvider.status, 200) << viaProvider.body.dump();
  EXPECT_EQ(backend_.identity().userByID("uid-custom")->email, "vic@example.com");
  EXPECT_EQ(keyword(exchange(other)), "TOKEN_EXPIRED");
  EXPECT_EQ(exchange(viaProvider.body["refreshToken"]).status, 200);
}

TEST_F(IdentityServiceTest, ASaveCutShortBetweenItsFilesIsFinishedAtTheNextStart) {
  const std::string codesFile = backend_.dataDir() + "/oob-codes.json";
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "PASSWORD_RESET"}, {"email", "ann@example.com"}}).status, 200);
  const std::string code = backend_.identity().sentMails().back().oobCode;
  // A sign-in changes no code, and leaves their file as it was.
  struct stat before {}, after {};
  ASSERT_EQ(::stat(codesFile.c_str(), &before), 0);
  ASSERT_EQ(signIn("ann@example.com", "secret123").status, 200);
  ASSERT_EQ(::stat(codesFile.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);

  // The reset's save cannot replace the codes' file (a folder stands in its place), as if the program
  // died once it had written the other files. The file is back for the next start.
  const std::string savedCodes = readAll(codesFile);
  ASSERT_TRUE(std::filesystem::remove(codesFile));
  ASSERT_TRUE(std::filesystem::create_directory(codesFile));
  ASSERT_EQ(call("resetPassword", {{"oobCode", code}, {"newPassword", "reset-pass"}}).status, 200);
  backend_.stop();
  std::filesystem::remove(codesFile);
  std::ofstream(codesFile) << savedCodes;
  backend_.start();
  // The new state as a whole: the code used, the password changed.
  EXPECT_EQ(keyword(call("resetPassword", {{"oobCode", code}, {"newPassword", "other-pass"}})), "INVALID_OOB_CODE");
  EXPECT_EQ(signIn("ann@example.com", "reset-pass").status, 200);

  // Codes as the earlier version saved them (without account or expiry) cannot be checked: the
  // directory opens, and they act on nothing.
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "PASSWORD_RESET"}, {"email", "ann@example.com"}}).status, 200);
  const std::string earlier = backend_.identity().sentMails().back().oobCode;
  backend_.stop();
  json codes = json::parse(readAll(codesFile));
  ASSERT_EQ(codes["codes"].size(), 1u);
  codes["codes"][0].erase("uid");
  codes["codes"][0].erase("expiresAt");
  std::ofstream(codesFile) << codes.dump(2);
  backend_.start();
  EXPECT_EQ(keyword(call("resetPassword", {{"oobCode", earlier}, {"newPassword", "third-pass"}})), "INVALID_OOB_CODE");
  EXPECT_EQ(signIn("ann@example.com", "reset-pass").status, 200);

  // A save cut short within a file leaves its temporary file beside it (hashes of passwords and
  // tokens, a mail's working code): the next start removes those, and nothing else.
  const std::string dir = backend_.dataDir(), mail = backend_.identity().mailDirectory();
  backend_.stop();
  const std::vector<std::string> leftovers = {
      dir + "/.users.json.tmp-a1B2c3",         dir + "/.refresh-tokens.json.tmp-Zz9yX8",
      dir + "/.oob-codes.json.tmp-000000",     dir + "/.save-journal.json.tmp-q1w2e3",
      dir + "/.signing-key.json.tmp-r4t5y6",   mail + "/.20240101-000000.000-signin-abcdef.eml.tmp-u7i8o9"};
  const std::vector<std::string> others = {dir + "/.users.json.tmp-short", dir + "/users.json.tmp-a1B2c3",
                                           dir + "/.notes.json.tmp-a1B2c3", mail + "/.notes.txt.tmp-a1B2c3"};
  for (const auto& path : leftovers) std::ofstream(path) << R"({"users":[{"passwordHash":"c2VjcmV0"}]})";
  for (const auto& path : others) std::ofstream(path) << "kept";
  backend_.start();
  for (const auto& path : leftovers) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  for (const auto& path : others) EXPECT_EQ(readAll(path), "kept") << path;
  EXPECT_EQ(signIn("ann@example.com", "reset-pass").status, 200);
}

TEST_F(IdentityServiceTest, AChangeThatCannotBeSavedIsAnsweredAsFailedAndTakenBack) {
  const std::string journal = backend_.dataDir() + "/save-journal.json";
  const std::string mailFolder = backend_.identity().mailDirectory();
  auto mailFiles = [&] {
    return std::distance(std::filesystem::directory_iterator(mailFolder), std::filesystem::directory_iterator());
  };
  auto admin = [&](const std::string& path) {
    httplib::Client client("127.0.0.1", backend_.port());
    client.set_bearer_token_auth(backend_.server().adminToken());
    auto res = client.Post(path);
    return res ? res->status : 0;
  };
  const std::string refresh = signIn("ann@example.com", "secret123").body["refreshToken"];
  ASSERT_EQ(call("getOobConfirmationCode", {{"requestType", "PASSWORD_RESET"}, {"email", "ann@example.com"}}).status, 200);
  const std::string code = backend_.identity().sentMails().back().oobCode;
  const auto mailed = mailFiles();

  // A folder where the save writes its journal: no save can begin, for root too.
  ASSERT_TRUE(std::filesystem::create_directories(journal + "/in-the-way"));
  auto failed = [](const Reply& r) {
    return r.status == 500 && r.body.is_object() && r.body["error"].is_object() && r.body["error"]["code"] == 500 &&
           r.body["error"]["message"].is_string();
  };
  EXPECT_TRUE(failed(call("resetPassword", {{"oobCode", code}, {"newPassword", "reset-pass"}})));
  EXPECT_TRUE(failed(signIn("ann@example.com", "secret123")));  // its session could not be kept
  EXPECT_TRUE(failed(call("signupNewUser", {{"email", "new@example.com"}, {"password", "new-pass"}})));
  EXPECT_TRUE(failed(call("getOobConfirmationCode", {{"requestType", "EMAIL_SIGNIN"}, {"email", "ann@example.com"}})));
  EXPECT_EQ(admin("/admin/v1/accounts/uid-ann:disable"), 500);
  // None of them stays: no mail with a code that was not kept, no account, no ended session.
  EXPECT_EQ(mailFiles(), mailed);
  EXPECT_EQ(backend_.identity().sentMails().back().oobCode, code);
  EXPECT_FALSE(backend_.identity().userByEmail("new@example.com"));
  EXPECT_FALSE(backend_.identity().userByID("uid-ann")->disabled);
  EXPECT_EQ(exchange(refresh).status, 200);

  // What was answered is what a restart finds: the old password, the unused code, once.
  ASSERT_TRUE(std::filesystem::remove_all(journal));
  EXPECT_EQ(keyword(signIn("ann@example.com", "reset-pass")), "INVALID_PASSWORD");
  backend_.restart();
  EXPECT_EQ(signIn("ann@example.com", "secret123").status, 200);
  EXPECT_FALSE(backend_.identity().userByEmail("new@example.com"));
  EXPECT_EQ(call("resetPassword", {{"oobCode", code}, {"newPassword", "reset-pass"}}).status, 200);
  backend_.restart();
  EXPECT_EQ(keyword(call("resetPassword", {{"oobCode", code}, {"newPassword", "other-pass"}})), "INVALID_OOB_CODE");
  EXPECT_EQ(signIn("ann@example.com", "reset-pass").status, 200);
}

TEST_F(IdentityServiceTest, RecordsExactlyWhatTheClientSent) {
  backend_.clearRequests();
  httplib::Client client("127.0.0.1", backend_.port());
  httplib::Headers headers = {{"X-Client-Version", "v/1"}, {"X-Davedove-Locale", "fr"}};
  std::string body = R"({"email":"ann@example.com","password":"secret123","returnSecureToken":true})";
  ASSERT_TRUE(client.Post("/identityservice/v3/relyingparty/verifyPassword?key=abc", headers, body, "application/json"));
  auto recorded = backend_.requestsForPath("/identityservice/v3/relyingparty/verifyPassword");
  ASSERT_EQ(recorded.size(), 1u);
  const auto& r = recorded[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.query.at("key"), "abc");
  EXPECT_EQ(r.header("x-client-version"), "v/1");
  EXPECT_EQ(r.header("X-Davedove-Locale"), "fr");
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_FALSE(r.header("X-Missing").has_value());
  EXPECT_EQ(r.body, body);
  EXPECT_EQ(r.json, json::parse(body));
  EXPECT_EQ(backend_.requests().size(), 1u);
}

TEST(IdentityServicePersistenceTest, UsersAndSessionsSurviveARestartWithoutClearPasswords) {
  char tmpl[] = "/tmp/vrl-backend-data-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  BackendOptions options;
  options.dataDir = dir;
  options.quiet = true;
  options.seed = json{{"users", {{{"email", "eve@example.com"}, {"password", "pa55word"}, {"uid", "uid-eve"}}}}};
  std::string refresh;
  {
    BackendServer server(options);
    ASSERT_TRUE(server.start());
    httplib::Client client("127.0.0.1", server.port());
    auto res = client.Post("/identityservice/v3/relyingparty/verifyPassword?key=k",
                           R"({"email":"eve@example.com","password":"pa55word","returnSecureToken":true})",
                           "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    refresh = json::parse(res->body)["refreshToken"];
  }
  for (const char* name : {"users.json", "refresh-tokens.json", "signing-key.json"}) {
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/" + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  EXPECT_EQ(readAll(dir + "/users.json").find("pa55word"), std::string::npos);
  EXPECT_EQ(readAll(dir + "/refresh-tokens.json").find(refresh), std::string::npos);

  options.seed.reset();
  BackendServer again(options);
  ASSERT_TRUE(again.start());
  httplib::Client client("127.0.0.1", again.port());
  // Outside tests no mail is held in memory: its file is the record.
  auto mailed = client.Post("/identityservice/v3/relyingparty/getOobConfirmationCode?key=k",
                            R"({"requestType":"EMAIL_SIGNIN","email":"eve@example.com"})", "application/json");
  ASSERT_TRUE(mailed);
  EXPECT_EQ(mailed->status, 200);
  EXPECT_TRUE(again.identity().sentMails().empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(again.identity().mailDirectory()),
                          std::filesystem::directory_iterator()),
            1);
  auto res = client.Post("/v1/token?key=k", json{{"grantType", "refresh_token"}, {"refreshToken", refresh}}.dump(),
                         "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  // The old signing key is kept, so the new token verifies with what the first run minted.
  auto claims = again.identity().verifyIDToken(json::parse(res->body)["id_token"]);
  ASSERT_TRUE(claims.has_value());
  EXPECT_EQ((*claims)["user_id"], "uid-eve");
  again.stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace backend

namespace backend {
namespace {

TEST(IdentityServiceSeedTest, MalformedProviderSeedsAreRefusedAndLinkedAccountsSurviveARestart) {
  std::string error;
  IdentityService service("p", "");
  EXPECT_FALSE(service.applySeed(json{{"customTokenKey", "not base64!"}}, &error));
  EXPECT_NE(error.find("customTokenKey"), std::string::npos);
  EXPECT_FALSE(service.applySeed(json{{"federatedIdentities", {{{"providerId", "x.example"}, {"token", "t"}}}}}, &error));
  EXPECT_NE(error.find("federatedId"), std::string::npos);

  char tmpl[] = "/tmp/vrl-backend-links-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  BackendOptions options;
  options.dataDir = dir;
  options.quiet = true;
  options.seed = json{{"federatedIdentities",
                       {{{"providerId", "variru.com"}, {"token", "vt"}, {"federatedId", "v-1"}, {"email", "v@example.com"}}}}};
  std::string uid;
  {
    BackendServer server(options);
    ASSERT_TRUE(server.start());
    httplib::Client client("127.0.0.1", server.port());
    auto res = client.Post("/identityservice/v3/relyingparty/verifyAssertion?key=k",
                           R"({"requestUri":"http://localhost","postBody":"providerId=variru.com&id_token=vt","autoCreate":true})",
                           "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    auto body = json::parse(res->body);
    EXPECT_EQ(body["isNewUser"], true);
    EXPECT_FALSE(body.contains("refreshToken"));  // only when asked for
    uid = body["localId"];
    server.stop();
  }
  BackendServer again(options);
  ASSERT_TRUE(again.start());
  EXPECT_EQ(again.identity().linkedProviders(uid), std::vector<std::string>{"variru.com"});
  // The provider's account signs in to the same user, no longer new.
  httplib::Client client("127.0.0.1", again.port());
  auto res = client.Post("/identityservice/v3/relyingparty/verifyAssertion?key=k",
                         R"({"requestUri":"http://localhost","postBody":"providerId=variru.com&id_token=vt","autoCreate":true})",
                         "application/json");
  ASSERT_TRUE(res);
  auto body = json::parse(res->body);
  EXPECT_EQ(body["localId"], uid);
  EXPECT_EQ(body["isNewUser"], false);
  again.stop();
  std::filesystem::remove_all(dir);
}

TEST(IdentityServicePersistenceTest, DamagedDataFilesStopTheStartNamingFileAndFieldAndStayAsTheyAre) {
  char tmpl[] = "/tmp/vrl-backend-damaged-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  BackendOptions options;
  options.dataDir = dir;
  options.quiet = true;
  options.seed = json{{"users", {{{"email", "eve@example.com"}, {"password", "pa55word"}, {"uid", "uid-eve"}}}}};
  {
    BackendServer server(options);
    ASSERT_TRUE(server.start());
    httplib::Client client("127.0.0.1", server.port());
    for (const char* call : {"verifyPassword", "getOobConfirmationCode"}) {
      auto res = client.Post(std::string("/identityservice/v3/relyingparty/") + call + "?key=k",
                             R"({"email":"eve@example.com","password":"pa55word","returnSecureToken":true,)"
                             R"("requestType":"PASSWORD_RESET"})",
                             "application/json");
      ASSERT_TRUE(res);
      ASSERT_EQ(res->status, 200) << call << ": " << res->body;
    }
  }
  options.seed.reset();
  struct Damage {
    std::string file, list, field;
    json value;
  };
  for (const Damage& damage : std::vector<Damage>{{"users.json", "users", "email", 5},
                                                  {"users.json", "users", "disabled", "no"},
                                                  {"users.json", "users", "salt", "not base64!"},
                                                  {"oob-codes.json", "codes", "requestType", json::array()},
                                                  {"oob-codes.json", "codes", "newEmail", false},
                                                  {"oob-codes.json", "codes", "expiresAt", "tomorrow"},
                                                  {"refresh-tokens.json", "tokens", "revoked", 1}}) {
    const std::string path = dir + "/" + damage.file;
    const std::string intact = readAll(path);
    json j = json::parse(intact);
    ASSERT_FALSE(j[damage.list].empty()) << damage.file;
    j[damage.list][0][damage.field] = damage.value;
    const std::string damaged = j.dump(2);
    std::ofstream(path) << damaged;
    BackendServer server(options);
    std::string error;
    EXPECT_FALSE(server.start(&error)) << damage.file << " " << damage.field;
    EXPECT_NE(error.find(damage.file), std::string::npos) << error;
    EXPECT_NE(error.find("\"" + damage.field + "\""), std::string::npos) << error;
    EXPECT_EQ(readAll(path), damaged);
    std::ofstream(path) << intact;
  }
  // The signing key, likewise.
  const std::string keyFile = dir + "/signing-key.json";
  const std::string key = readAll(keyFile);
  for (const json& damaged : {json(5), json(nullptr)}) {
    json j = json::parse(key);
    j["key"] = damaged;
    std::ofstream(keyFile) << j.dump();
    BackendServer server(options);
    std::string error;
    EXPECT_FALSE(server.start(&error)) << j;
    EXPECT_NE(error.find("signing-key.json"), std::string::npos) << error;
    EXPECT_NE(error.find("\"key\""), std::string::npos) << error;
    EXPECT_EQ(readAll(keyFile), j.dump());
  }
  std::ofstream(keyFile) << key;
  // A damaged journal of a save cut short, likewise.
  const std::string journal = dir + "/save-journal.json";
  std::ofstream(journal) << R"({"files":{"users.json":7}})";
  {
    BackendServer server(options);
    std::string error;
    EXPECT_FALSE(server.start(&error));
    EXPECT_NE(error.find("save-journal.json"), std::string::npos) << error;
    EXPECT_NE(error.find("\"users.json\""), std::string::npos) << error;
    EXPECT_EQ(readAll(journal), R"({"files":{"users.json":7}})");
  }
  std::filesystem::remove(journal);
  // A data file that is there but cannot be read is not a missing one: the start stops, naming it and
  // why, and writes nothing (no new signing key, no users saved over). Each holds for root as well.
  namespace fs = std::filesystem;
  auto folderContents = [&] {
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      const fs::file_status status = entry.symlink_status();
      contents[entry.path().string()] = fs::is_regular_file(status) ? readAll(entry.path().string())
                                                                     : std::to_string(static_cast<int>(status.type()));
    }
    return contents;
  };
  struct Unreadable {
    std::string file, reason;
    std::function<bool(const std::string&)> make;
  };
  const std::string loop = std::strerror(ELOOP), notPlain = "not a regular file";
  auto folder = [](const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0; };
  auto linkToItself = [](const std::string& path) { return ::symlink(path.c_str(), path.c_str()) == 0; };
  auto fifo = [](const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; };
  for (const Unreadable& unreadable : std::vector<Unreadable>{{"users.json", notPlain, folder},
                                                              {"signing-key.json", loop, linkToItself},
                                                              {"refresh-tokens.json", loop, linkToItself},
                                                              {"oob-codes.json", notPlain, fifo},
                                                              {"save-journal.json", notPlain, folder}}) {
    const std::string path = dir + "/" + unreadable.file;
    if (fs::exists(path)) fs::rename(path, path + ".kept");
    ASSERT_TRUE(unreadable.make(path)) << unreadable.file;
    const auto before = folderContents();
    BackendServer server(options);
    std::string error;
    EXPECT_FALSE(server.start(&error)) << unreadable.file;
    EXPECT_NE(error.find(path + ": " + unreadable.reason), std::string::npos) << error;
    EXPECT_EQ(folderContents(), before) << unreadable.file;
    fs::remove(path);
    if (fs::exists(path + ".kept")) fs::rename(path + ".kept", path);
  }
  // A seed file with a field of another type, likewise: refused by file and field, nothing of it taken.
  struct DamagedSeed {
    json seed;
    std::string named;
  };
  const std::string seedFile = dir + "/seed.json";
  for (const DamagedSeed& damage : std::vector<DamagedSeed>{
           {{{"users", {{{"email", "gus@example.com"}, {"password", "gus-pass"}}, {{"disabled", "no"}}}}}, "\"disabled\""},
           {{{"users", {{{"email", 5}}}}}, "\"email\""},
           {{{"federatedIdentities", {{{"providerId", 5}, {"token", "t"}, {"federatedId", "f"}}}}}, "\"providerId\""},
           {{{"apiKeys", {5}}}, "\"apiKeys\""},
           {{{"authorizedDomains", "localhost"}}, "\"authorizedDomains\""},
           {{{"documents", {{"pin/uid-eve", 5}}}}, "pin/uid-eve"}}) {
    std::ofstream(seedFile) << damage.seed.dump();
    BackendOptions seeded = options;
    seeded.seedFile = seedFile;
    BackendServer server(seeded);
    std::string error;
    EXPECT_FALSE(server.start(&error)) << damage.seed;
    EXPECT_NE(error.find(seedFile), std::string::npos) << error;
    EXPECT_NE(error.find(damage.named), std::string::npos) << error;
  }
  BackendServer mended(options);
  EXPECT_TRUE(mended.start());
  EXPECT_TRUE(mended.identity().userByEmail("eve@example.com"));
  EXPECT_FALSE(mended.identity().userByEmail("gus@example.com"));
  mended.stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace backend
