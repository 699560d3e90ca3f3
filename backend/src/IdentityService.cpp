#include "backend/src/IdentityService.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <tuple>

#include "platform/foundation/Base64.h"
#include "platform/foundation/PropertyList.h"

namespace backend {
namespace {

using json = nlohmann::json;

constexpr int kPBKDF2Iterations = 10000;
constexpr size_t kMinimumPasswordLength = 6;
// What account lookups show instead of the real hash: the hash itself never leaves the service.
const char kRedactedPasswordHash[] = "UkVEQUNURUQ=";
const char kRelyingPartyPrefix[] = "/identityservice/v3/relyingparty/";
// How long a mailed code stays good: a reset or a sign-in link briefly, a verification or the
// recovery of an address for days.
constexpr int64_t kShortCodeLifetimeSeconds = 3600;
constexpr int64_t kLongCodeLifetimeSeconds = 3 * 24 * 3600;
// The continue URL goes into the mailed link; a longer one is refused rather than mailed.
constexpr size_t kMaxContinueUrlBytes = 4096;
// An address, a display name and a photo URL are kept, saved with every change and put into tokens and
// mails: a longer one is refused.
constexpr size_t kMaxEmailBytes = 254;
constexpr size_t kMaxProfileFieldBytes = 4096;
// Each sign-in leaves a refresh token; beyond these the account's oldest go, so that what a sign-in
// saves does not grow with the sign-ins before it.
constexpr size_t kMaxRefreshTokensPerAccount = 100;
// The data files, and the journal that makes saving several of them one change.
const char kUsersFile[] = "users.json";
const char kRefreshTokensFile[] = "refresh-tokens.json";
const char kCodesFile[] = "oob-codes.json";
const char kSaveJournal[] = "save-journal.json";
const char kSigningKeyFile[] = "signing-key.json";

int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}
int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string randomBytes(size_t n) {
  std::string out(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
    throw std::runtime_error("no random bytes");
  return out;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string sha256Hex(const std::string& text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
  return hex(std::string(reinterpret_cast<char*>(md), len));
}

std::string pbkdf2(const std::string& password, const std::string& salt) {
  std::string out(32, '\0');
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                    kPBKDF2Iterations, EVP_sha256(), static_cast<int>(out.size()),
                    reinterpret_cast<unsigned char*>(out.data()));
  return out;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool validEmail(const std::string& email) {
  if (email.size() > kMaxEmailBytes) return false;
  auto at = email.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= email.size()) return false;
  if (email.find('@', at + 1) != std::string::npos) return false;
  for (unsigned char c : email)
    if (std::isspace(c) || c < 0x20) return false;
  return true;
}

std::string stringField(const json& body, const char* key) {
  auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}
bool boolField(const json& body, const char* key) {
  auto it = body.find(key);
  return it != body.end() && it->is_boolean() && it->get<bool>();
}

// A failure the client maps by its keyword: {"error":{"code":400,"message":"KEYWORD[ : detail]",...}}.
struct Failure {
  std::string keyword;
  std::string detail;
};

// The refusal of a request whose display name or photo URL is too long to keep, or nullopt.
std::optional<Failure> overlongProfileField(const json& body) {
  if (stringField(body, "displayName").size() > kMaxProfileFieldBytes)
    return Failure{"INVALID_DISPLAY_NAME", "The display name is longer than 4096 bytes."};
  if (stringField(body, "photoUrl").size() > kMaxProfileFieldBytes)
    return Failure{"INVALID_PHOTO_URL", "The photo URL is longer than 4096 bytes."};
  return std::nullopt;
}

void replyError(httplib::Response& res, int status, const std::string& message, const std::string& reason = "invalid",
                const std::string& domain = "global") {
  json body = {{"error",
                {{"code", status},
                 {"message", message},
                 {"errors", json::array({{{"message", message}, {"domain", domain}, {"reason", reason}}})}}}};
  res.status = status;
  res.set_content(body.dump(), "application/json; charset=UTF-8");
}

void replyFailure(httplib::Response& res, const Failure& f) {
  replyError(res, 400, f.detail.empty() ? f.keyword : f.keyword + " : " + f.detail);
}

// The change could not be saved and was taken back: a server error, which the client takes as failed.
void replyNotSaved(httplib::Response& res) { replyError(res, 500, "Internal error encountered.", "backendError"); }

void replyJSON(httplib::Response& res, const json& body) {
  res.status = 200;
  res.set_content(body.dump(), "application/json; charset=UTF-8");
}

// An outside provider's account linked to a user.
struct LinkedProvider {
  std::string providerId;
  std::string federatedId;
  std::string email;
  std::string displayName;
  std::string photoUrl;
};

struct StoredUser {
  std::string uid;
  std::string email;
  std::string displayName;
  std::string photoUrl;
  bool disabled = false;
  bool emailVerified = false;
  std::string salt;          // raw bytes; empty: no password credential
  std::string passwordHash;  // raw bytes
  int64_t passwordUpdatedAtMs = 0;
  int64_t createdAtMs = 0;
  int64_t lastLoginAtMs = 0;
  int64_t validSince = 0;  // ID tokens issued before this second are no longer accepted
  bool emailLinkSignin = false;
  std::vector<LinkedProvider> providers;
  bool hasPassword() const { return !passwordHash.empty(); }
  const LinkedProvider* provider(const std::string& providerId) const {
    for (const auto& p : providers)
      if (p.providerId == providerId) return &p;
    return nullptr;
  }
};

struct RefreshRecord {
  std::string uid;
  bool revoked = false;  // kept to answer "TOKEN_EXPIRED", within the bound of its account's tokens
  int64_t authTime = 0;
  int64_t serial = 0;  // issue order across the service; 0 in files of before it was kept
};

json providersToJSON(const StoredUser& u) {
  json list = json::array();
  for (const auto& p : u.providers)
    list.push_back({{"providerId", p.providerId},
                    {"federatedId", p.federatedId},
                    {"email", p.email},
                    {"displayName", p.displayName},
                    {"photoUrl", p.photoUrl}});
  return list;
}

json userToJSON(const StoredUser& u) {
  return {{"uid", u.uid},
          {"email", u.email},
          {"displayName", u.displayName},
          {"photoUrl", u.photoUrl},
          {"disabled", u.disabled},
          {"emailVerified", u.emailVerified},
          {"salt", platform::base64Encode(u.salt)},
          {"passwordHash", platform::base64Encode(u.passwordHash)},
          {"passwordUpdatedAt", u.passwordUpdatedAtMs},
          {"createdAt", u.createdAtMs},
          {"lastLoginAt", u.lastLoginAtMs},
          {"validSince", u.validSince},
          {"emailLinkSignin", u.emailLinkSignin},
          {"providers", providersToJSON(u)}};
}

// Reads the fields of one record of a data file. An absent field reads as empty; the first field of
// another type is remembered with the record's place, so a hand-edited file is refused by name.
class RecordReader {
 public:
  RecordReader(const json& record, std::string place) : record_(record), place_(std::move(place)) {
    if (!record_.is_object()) error_ = place_ + " is not an object";
  }
  std::string text(const char* key) {
    const json* v = field(key, &json::is_string, "a string");
    return v ? v->get<std::string>() : std::string();
  }
  bool flag(const char* key) {
    const json* v = field(key, &json::is_boolean, "true or false");
    return v && v->get<bool>();
  }
  int64_t number(const char* key) {
    const json* v = field(key, &json::is_number_integer, "a whole number");
    return v ? v->get<int64_t>() : 0;
  }
  std::string base64(const char* key) {
    auto bytes = platform::base64Decode(text(key));
    if (!bytes) fail(key, "base64");
    return bytes.value_or("");
  }
  const json* array(const char* key) { return field(key, &json::is_array, "a list"); }
  bool has(const char* key) const { return record_.is_object() && record_.contains(key); }
  // "" while every field read so far was of its type.
  const std::string& error() const { return error_; }

 private:
  const json* field(const char* key, bool (json::*isType)() const noexcept, const char* type) {
    if (!error_.empty()) return nullptr;
    auto it = record_.find(key);
    if (it == record_.end()) return nullptr;
    if (!((*it).*isType)()) return fail(key, type);
    return &*it;
  }
  const json* fail(const char* key, const char* type) {
    if (error_.empty()) error_ = place_ + ": \"" + key + "\" is not " + type;
    return nullptr;
  }

  const json& record_;
  std::string place_;
  std::string error_;
};

// A user record of users.json; nullopt and the damaged field in *error.
std::optional<StoredUser> userFromJSON(const json& j, const std::string& place, std::string* error) {
  RecordReader r(j, place);
  StoredUser u;
  u.uid = r.text("uid");
  u.email = r.text("email");
  u.displayName = r.text("displayName");
  u.photoUrl = r.text("photoUrl");
  u.disabled = r.flag("disabled");
  u.emailVerified = r.flag("emailVerified");
  u.salt = r.base64("salt");
  u.passwordHash = r.base64("passwordHash");
  u.passwordUpdatedAtMs = r.number("passwordUpdatedAt");
  u.createdAtMs = r.number("createdAt");
  u.lastLoginAtMs = r.number("lastLoginAt");
  u.validSince = r.number("validSince");
  u.emailLinkSignin = r.flag("emailLinkSignin");
  if (const json* providers = r.array("providers"))
    for (size_t i = 0; i < providers->size() && r.error().empty(); ++i) {
      RecordReader p((*providers)[i], place + " provider " + std::to_string(i + 1));
      u.providers.push_back(
          {p.text("providerId"), p.text("federatedId"), p.text("email"), p.text("displayName"), p.text("photoUrl")});
      if (!p.error().empty()) {
        *error = p.error();
        return std::nullopt;
      }
    }
  *error = !r.error().empty() ? r.error() : u.uid.empty() ? place + ": \"uid\" is missing" : std::string();
  if (!error->empty()) return std::nullopt;
  return u;
}

UserInfo infoOf(const StoredUser& u) {
  UserInfo i;
  i.uid = u.uid;
  i.email = u.email;
  i.displayName = u.displayName;
  i.photoUrl = u.photoUrl;
  i.disabled = u.disabled;
  i.emailVerified = u.emailVerified;
  i.hasPassword = u.hasPassword();
  i.createdAtMs = u.createdAtMs;
  i.lastLoginAtMs = u.lastLoginAtMs;
  return i;
}

// A data file's text, or nullopt when there is no such file. One that is there but cannot be read (no
// permission, a folder or a FIFO at its place, a failing disk) is not taken for a missing one, which
// would make a new signing key or save what memory holds over the users: false, and *error names it.
bool readDataFile(const std::string& path, std::optional<std::string>* text, std::string* error) {
  std::string why;
  bool missing = false;
  *text = platform::readPlainFile(path, &why, &missing);
  if (*text || missing) return true;
  *error = "cannot read " + showInLog(path) + ": " + why;
  return false;
}

// A mailed code not used yet; only its hash is kept. It acts on the account it was issued for, and
// only while that account still has the address it concerns.
struct PendingCode {
  std::string requestType;
  std::string uid;  // "": a sign-in link to an address that had no account
  std::string email;
  std::string newEmail;
  int64_t expiresAt = 0;  // seconds
  const std::string& address() const { return requestType == "RECOVER_EMAIL" ? newEmail : email; }
};

// The "mode" of the action link, as the hosted action page reads it.
std::string actionMode(const std::string& requestType) {
  if (requestType == "PASSWORD_RESET") return "resetPassword";
  if (requestType == "VERIFY_EMAIL") return "verifyEmail";
  if (requestType == "EMAIL_SIGNIN") return "signIn";
  return "recoverEmail";
}

// Subject and text of the mail; the addresses were checked by validEmail (no line breaks).
std::pair<std::string, std::string> mailText(const OobMail& mail, const std::string& projectId) {
  const std::string action = "\n\n    " + mail.link + "\n\nOr enter this code where the application asks for it:\n\n    " +
                           mail.oobCode + "\n\n";
  if (mail.requestType == "PASSWORD_RESET")
    return {"Reset your password for " + projectId,
            "Hello,\n\nFollow this link to reset the password of " + mail.email + " for " + projectId + ":" + action +
                "If you did not ask to reset your password, you can ignore this mail.\n"};
  if (mail.requestType == "VERIFY_EMAIL")
    return {"Verify your e-mail address for " + projectId,
            "Hello,\n\nFollow this link to verify " + mail.email + " for " + projectId + ":" + action +
                "If you did not ask to verify this address, you can ignore this mail.\n"};
  if (mail.requestType == "EMAIL_SIGNIN")
    return {"Sign in to " + projectId + " as " + mail.email,
            "Hello,\n\nFollow this link to sign in to " + projectId + " as " + mail.email + ":" + action +
                "If you did not ask to sign in, you can ignore this mail.\n"};
  return {"Your sign-in e-mail address for " + projectId + " was changed",
          "Hello,\n\nThe sign-in e-mail address of your account for " + projectId + " was changed from " + mail.email +
              " to " + mail.newEmail + ".\nIf you did not change it, follow this link to get " + mail.email + " back:" +
              action};
}

// Writes the mail as an .eml file (0600) to the folder; a failure is logged, the code stays valid.
void writeMailFile(const std::string& folder, const OobMail& mail, const std::string& projectId) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const int millis = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char stamp[32], date[64];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  char millisText[8];
  std::snprintf(millisText, sizeof millisText, ".%03d", millis);
  const std::string type = lower(actionMode(mail.requestType));
  const std::string file = folder + "/" + stamp + millisText + "-" + type + "-" + hex(randomBytes(3)) + ".eml";
  const auto [subject, text] = mailText(mail, projectId);
  const std::string sender = "noreply@" + projectId + ".davedoveapp.com";
  std::string eml = "From: " + sender + "\r\nTo: " + mail.email + "\r\nSubject: " + subject + "\r\nDate: " + date +
                    "\r\nMessage-ID: <" + hex(randomBytes(12)) + "@" + projectId +
                    ".davedoveapp.com>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                    "Content-Transfer-Encoding: 8bit\r\nX-Vorellin-Request-Type: " +
                    mail.requestType + "\r\nX-Vorellin-Oob-Code: " + mail.oobCode + "\r\n\r\n";
  for (char c : text) eml += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string error;
  if (!platform::writeFileAtomically(file, eml, &error, 0600))
    std::cerr << "vorellin-backend: cannot write the mail " << file << ": " << error << std::endl;
}

// Saves the files (name, text) of the data directory as one change: the journal holds every one of
// them before the first is replaced, so a crash in between leaves the journal, and the next start
// (readSavedFiles) finishes the save. Without a crash the journal goes again; should its removal be
// lost, it names only what the files hold already. On false, *journaled tells whether the journal
// was written: then the save stands all the same, and only its files are behind.
bool saveTogether(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& files,
                  std::string* error, bool* journaled = nullptr) {
  if (journaled) *journaled = false;
  json journal = json::object();
  for (const auto& [name, text] : files) journal[name] = text;
  const std::string journalPath = dir + "/" + kSaveJournal;
  if (!platform::writeFileAtomically(journalPath, json{{"files", journal}}.dump(), error, 0600)) return false;
  if (journaled) *journaled = true;
  for (const auto& [name, text] : files)
    if (!platform::writeFileAtomically(dir + "/" + name, text, error, 0600)) return false;
  ::unlink(journalPath.c_str());
  return true;
}

// Removes from `dir` the temporary files of writes cut short (platform::writeFileAtomically's
// ".<name>.tmp-XXXXXX") whose file's name `ours` takes. False with the file when one cannot go.
bool removeUnfinishedWrites(const std::string& dir, const std::function<bool(const std::string&)>& ours,
                            std::string* error) {
  const std::string mark = ".tmp-", tail = mark + "XXXXXX";
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry.size() <= tail.size() + 1 || entry[0] != '.' ||
        entry.compare(entry.size() - tail.size(), mark.size(), mark) != 0 ||
        !ours(entry.substr(1, entry.size() - tail.size() - 1)))
      continue;
    if (::unlink(it->path().c_str()) != 0 && errno != ENOENT) {
      *error = "cannot remove " + showInLog(it->path().string()) + ", left by a write cut short: " +
               std::strerror(errno);
      return false;
    }
  }
  if (ec && ec != std::errc::no_such_file_or_directory) {
    *error = "cannot read the folder " + showInLog(dir) + ": " + ec.message();
    return false;
  }
  return true;
}

// The texts of the data files as the last save left them (a missing file is absent), with a journal
// of a save cut short applied. False and a message naming the file when one cannot be read or the
// journal is damaged.
bool readSavedFiles(const std::string& dir, std::map<std::string, std::string>* texts, bool* fromJournal,
                    std::string* error) {
  *fromJournal = false;
  std::optional<std::string> text;
  for (const char* name : {kUsersFile, kRefreshTokensFile, kCodesFile}) {
    if (!readDataFile(dir + "/" + name, &text, error)) return false;
    if (text) (*texts)[name] = *text;
  }
  if (!readDataFile(dir + "/" + kSaveJournal, &text, error)) return false;
  if (!text) return true;
  const json journal = parseJSON(*text);
  const std::string damaged = std::string("malformed ") + kSaveJournal + " in " + dir;
  if (!journal.is_object() || !journal.contains("files") || !journal["files"].is_object()) {
    *error = damaged;
    return false;
  }
  for (const auto& [name, saved] : journal["files"].items()) {
    if ((name != kUsersFile && name != kRefreshTokensFile && name != kCodesFile) || !saved.is_string()) {
      *error = damaged + ": \"" + showInLog(name) + "\"";
      return false;
    }
    (*texts)[name] = saved.get<std::string>();
  }
  *fromJournal = true;
  return true;
}

}  // namespace

struct IdentityService::Impl {
  std::string dataDir;
  std::string projectId;
  mutable std::mutex mutex;
  std::map<std::string, StoredUser> users;       // by uid
  std::map<std::string, RefreshRecord> refresh;  // by SHA-256 of the token
  int64_t lastSerial = 0;                        // of the newest refresh token
  bool keepMails = false;  // tests read the mails from memory; otherwise the files are the record
  std::vector<OobMail> mails;
  std::map<std::string, PendingCode> oobCodes;  // unused codes, by SHA-256 of the code
  bool codesChanged = false;  // since the codes were last saved
  // The state as the last save left it on disk, which a change that cannot be saved goes back to.
  struct Saved {
    std::map<std::string, StoredUser> users;
    std::map<std::string, RefreshRecord> refresh;
    std::map<std::string, PendingCode> oobCodes;
  } saved;
  std::vector<OobMail> unsentMails;  // of the change being saved: sent once it is
  std::function<int64_t()> clock;  // tests only; unset: the system clock
  std::string customTokenKey;
  std::vector<FederatedIdentity> identities;
  std::vector<std::string> authorizedDomains;
  std::vector<std::string> apiKeys;
  int64_t lifetime = 3600;

  StoredUser* byEmail(const std::string& email) {
    std::string e = lower(email);
    for (auto& [uid, u] : users)
      if (!u.email.empty() && lower(u.email) == e) return &u;
    return nullptr;
  }
  StoredUser* byID(const std::string& uid) {
    auto it = users.find(uid);
    return it == users.end() ? nullptr : &it->second;
  }
  StoredUser* byFederatedID(const std::string& providerId, const std::string& federatedId) {
    for (auto& [uid, u] : users)
      if (const LinkedProvider* p = u.provider(providerId); p && p->federatedId == federatedId) return &u;
    return nullptr;
  }
  // The identity whose token the provider's proof carries.
  const FederatedIdentity* identityFor(const std::string& providerId, const std::string& token) const {
    if (token.empty()) return nullptr;
    for (const auto& i : identities)
      if (i.providerId == providerId && i.token == token) return &i;
    return nullptr;
  }

  void setPassword(StoredUser& u, const std::string& password) {
    u.salt = randomBytes(16);
    u.passwordHash = pbkdf2(password, u.salt);
    u.passwordUpdatedAtMs = nowMillis();
  }
  static bool passwordMatches(const StoredUser& u, const std::string& password) {
    if (!u.hasPassword()) return false;
    std::string h = pbkdf2(password, u.salt);
    return h.size() == u.passwordHash.size() && CRYPTO_memcmp(h.data(), u.passwordHash.data(), h.size()) == 0;
  }

  std::string newUID() {
    for (;;) {
      std::string uid = platform::base64URLEncode(randomBytes(21));
      if (!users.count(uid)) return uid;
    }
  }

  // Checks an ID token and finds its account: nullptr with the server keyword when the token is not
  // good or its account is gone or disabled. The caller holds the mutex.
  StoredUser* userForToken(const TokenSigner& signer, const std::string& idToken, std::string* keyword,
                           json* claimsOut = nullptr) {
    auto fail = [&](const char* k) -> StoredUser* {
      *keyword = k;
      return nullptr;
    };
    if (idToken.empty()) return fail("INVALID_ID_TOKEN");
    auto claims = signer.verify(idToken);
    if (!claims || !(*claims)["sub"].is_string() || !(*claims)["exp"].is_number_integer() ||
        !(*claims)["iat"].is_number_integer() || claims->value("aud", "") != projectId)
      return fail("INVALID_ID_TOKEN");
    if ((*claims)["exp"].get<int64_t>() <= nowSeconds()) return fail("TOKEN_EXPIRED");
    StoredUser* u = byID((*claims)["sub"].get<std::string>());
    if (!u) return fail("USER_NOT_FOUND");
    if ((*claims)["iat"].get<int64_t>() < u->validSince) return fail("TOKEN_EXPIRED");
    if (u->disabled) return fail("USER_DISABLED");
    if (claimsOut) *claimsOut = std::move(*claims);
    return u;
  }

  std::string mailFolder() const { return dataDir.empty() ? std::string() : dataDir + "/mail"; }

  int64_t now() const { return clock ? clock() : nowSeconds(); }

  // Keeps a new refresh token (by its hash); the account's oldest beyond the bound go.
  void addRefreshToken(const std::string& hash, const std::string& uid, int64_t authTime) {
    refresh[hash] = RefreshRecord{uid, false, authTime, ++lastSerial};
    std::vector<std::map<std::string, RefreshRecord>::iterator> held;
    for (auto it = refresh.begin(); it != refresh.end(); ++it)
      if (it->second.uid == uid) held.push_back(it);
    if (held.size() <= kMaxRefreshTokensPerAccount) return;
    const auto surplus = static_cast<std::ptrdiff_t>(held.size() - kMaxRefreshTokensPerAccount);
    std::nth_element(held.begin(), held.begin() + surplus - 1, held.end(), [](const auto& a, const auto& b) {
      return std::tie(a->second.serial, a->second.authTime) < std::tie(b->second.serial, b->second.authTime);
    });
    for (auto it = held.begin(); it != held.begin() + surplus; ++it) refresh.erase(*it);
  }

  // Refresh tokens of the account stop working, and so do its ID tokens issued before now.
  void endSessions(StoredUser& u) {
    for (auto& [hash, rec] : refresh)
      if (rec.uid == u.uid) rec.revoked = true;
    u.validSince = nowSeconds();
  }

  // An account that goes takes its codes and refresh tokens along: no sign-in of it will push its
  // tokens out, so kept they would only grow the files. They answer as unknown tokens then.
  void removeUser(const std::string& uid) {
    users.erase(uid);
    dropCodesOf(uid);
    for (auto it = refresh.begin(); it != refresh.end();)
      it = it->second.uid == uid ? refresh.erase(it) : std::next(it);
  }

  // When the account goes or its address changes: its codes concerned what no longer is.
  void dropCodesOf(const std::string& uid) {
    for (auto it = oobCodes.begin(); it != oobCodes.end();)
      if (it->second.uid == uid) {
        it = oobCodes.erase(it);
        codesChanged = true;
      } else {
        ++it;
      }
  }

  void dropExpiredCodes() {
    const int64_t t = now();
    for (auto it = oobCodes.begin(); it != oobCodes.end();)
      if (it->second.expiresAt <= t) {
        it = oobCodes.erase(it);
        codesChanged = true;
      } else {
        ++it;
      }
  }

  // The unused code if it still acts: not expired, and its account still has the address it
  // concerns. Otherwise oobCodes.end() and the keyword; an expired or misfitting code is dropped.
  std::map<std::string, PendingCode>::iterator usableCode(const std::string& code, Failure* failure) {
    auto it = oobCodes.find(sha256Hex(code));
    if (it == oobCodes.end()) {
      *failure = {"INVALID_OOB_CODE", ""};
      return it;
    }
    const StoredUser* holder = byEmail(it->second.address());
    if (it->second.expiresAt <= now()) {
      *failure = {"EXPIRED_OOB_CODE", ""};
    } else if ((holder ? holder->uid : std::string()) != it->second.uid) {
      *failure = {"INVALID_OOB_CODE", ""};
    } else {
      return it;
    }
    oobCodes.erase(it);
    codesChanged = true;
    persist();  // refused all the same: a code that no longer acts may stay on disk
    return oobCodes.end();
  }

  // A fresh code of the type for the account (uid) and the address, kept until used or expired and
  // mailed once saved; the caller holds the mutex and persists.
  void sendMail(const std::string& requestType, const std::string& uid, const std::string& email,
                const std::string& newEmail = "", const std::string& continueUrl = "") {
    OobMail mail{requestType, email, platform::base64URLEncode(randomBytes(24)), newEmail};
    mail.link = "https://" + projectId + ".davedoveapp.com/__/auth/action?mode=" + actionMode(requestType) +
                "&oobCode=" + mail.oobCode;
    if (!continueUrl.empty()) mail.link += "&continueUrl=" + httplib::detail::encode_query_param(continueUrl);
    const bool brief = requestType == "PASSWORD_RESET" || requestType == "EMAIL_SIGNIN";
    oobCodes[sha256Hex(mail.oobCode)] =
        PendingCode{requestType, uid, email, newEmail, now() + (brief ? kShortCodeLifetimeSeconds : kLongCodeLifetimeSeconds)};
    codesChanged = true;
    unsentMails.push_back(std::move(mail));
  }

  // Persistence: whole files readable by the owner only, saved together (see saveTogether). The
  // codes only when they changed, so a sign-in costs the same however many are stored. False when
  // nothing of the change reached the disk: it is then taken back, so that what memory answers stays
  // what a restart finds, and the caller answers the request as failed.
  bool persist() {
    if (!dataDir.empty() && !save()) {
      users = saved.users;
      refresh = saved.refresh;
      oobCodes = saved.oobCodes;
      codesChanged = true;
      unsentMails.clear();
      return false;
    }
    for (const auto& mail : unsentMails) {
      if (keepMails) mails.push_back(mail);
      if (!dataDir.empty()) writeMailFile(mailFolder(), mail, projectId);
    }
    unsentMails.clear();
    return true;
  }

  // False when not even the journal could be written.
  bool save() {
    json u = json::array();
    for (const auto& [uid, user] : users) u.push_back(userToJSON(user));
    json r = json::array();
    for (const auto& [hash, rec] : refresh)
      r.push_back({{"hash", hash},
                   {"uid", rec.uid},
                   {"revoked", rec.revoked},
                   {"authTime", rec.authTime},
                   {"serial", rec.serial}});
    std::vector<std::pair<std::string, std::string>> files = {{kUsersFile, json{{"users", u}}.dump(2)},
                                                              {kRefreshTokensFile, json{{"tokens", r}}.dump(2)}};
    if (codesChanged) {
      dropExpiredCodes();
      json c = json::array();
      for (const auto& [hash, code] : oobCodes)
        c.push_back({{"hash", hash},
                     {"requestType", code.requestType},
                     {"uid", code.uid},
                     {"email", code.email},
                     {"newEmail", code.newEmail},
                     {"expiresAt", code.expiresAt}});
      files.emplace_back(kCodesFile, json{{"codes", c}}.dump(2));
    }
    std::string error;
    bool journaled = false;
    if (saveTogether(dataDir, files, &error, &journaled)) {
      codesChanged = false;  // after a save left unfinished they are written again next time
    } else {
      std::cerr << "vorellin-backend: cannot save the identity data in " << dataDir << ": " << error
                << (journaled ? " (its journal holds the change)" : " (the change is refused)") << std::endl;
      if (!journaled) return false;
    }
    saved = {users, refresh, oobCodes};
    return true;
  }

  // False when there is no such account; *stored false when the change could not be saved.
  bool setDisabled(const std::string& uid, bool disabled, bool* stored) {
    StoredUser* u = byID(uid);
    if (!u) return false;
    u->disabled = disabled;
    *stored = persist();
    return true;
  }
};

IdentityService::IdentityService(std::string projectId, std::string dataDir)
    : impl_(std::make_unique<Impl>()),
      projectId_(std::move(projectId)),
      signer_(std::make_unique<TokenSigner>(TokenSigner::generateKey(), hex(randomBytes(8)))) {
  impl_->dataDir = std::move(dataDir);
  impl_->projectId = projectId_;
}

IdentityService::~IdentityService() = default;

bool IdentityService::open(std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const std::string& dir = impl_->dataDir;
  if (dir.empty()) return true;
  ::mkdir(dir.c_str(), 0700);
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  // Everything is read and checked before anything is taken or written: a damaged or unreadable file
  // stops the start, and every file stays as it is.
  const std::string keyPath = dir + "/" + kSigningKeyFile;
  std::optional<std::string> keyText;
  std::unique_ptr<TokenSigner> keptSigner;
  std::string readError;
  if (!readDataFile(keyPath, &keyText, &readError)) return fail(readError);
  if (keyText) {
    const json j = parseJSON(*keyText);
    RecordReader r(j, std::string(kSigningKeyFile) + " in " + dir);
    const std::string key = r.base64("key"), kid = r.text("kid");
    if (!r.error().empty()) return fail(r.error());
    if (key.empty() || !r.has("kid")) return fail("malformed " + keyPath);
    keptSigner = std::make_unique<TokenSigner>(key, kid);
  }
  std::map<std::string, std::string> texts;
  bool fromJournal = false;
  if (!readSavedFiles(dir, &texts, &fromJournal, &readError)) return fail(readError);
  // The list of a data file's records, each read with `read`; false on the first damaged one.
  auto records = [&](const char* file, const char* key, const char* record, const auto& read) {
    auto text = texts.find(file);
    if (text == texts.end()) return true;
    const std::string where = std::string(file) + " in " + dir;
    auto j = parseJSON(text->second);
    if (!j.is_object() || !j[key].is_array()) return fail("malformed " + where);
    for (size_t i = 0; i < j[key].size(); ++i) {
      std::string damaged = read(j[key][i], std::string(record) + " " + std::to_string(i + 1));
      if (!damaged.empty()) return fail(where + ": " + damaged);
    }
    return true;
  };
  std::map<std::string, StoredUser> users;
  std::map<std::string, PendingCode> codes;
  std::map<std::string, RefreshRecord> refresh;
  const bool read =
      records(kUsersFile, "users", "user",
              [&](const json& e, const std::string& place) {
                std::string damaged;
                if (auto u = userFromJSON(e, place, &damaged)) users[u->uid] = *u;
                return damaged;
              }) &&
      records(kCodesFile, "codes", "code",
              [&](const json& e, const std::string& place) {
                RecordReader r(e, place);
                PendingCode code{r.text("requestType"), r.text("uid"), r.text("email"), r.text("newEmail"),
                                 r.number("expiresAt")};
                const std::string hash = r.text("hash");
                // Codes saved before they knew their account and expiry cannot be checked: dropped.
                if (r.error().empty() && !hash.empty() && r.has("uid") && r.has("expiresAt")) codes[hash] = code;
                return r.error();
              }) &&
      records(kRefreshTokensFile, "tokens", "token", [&](const json& e, const std::string& place) {
        RecordReader r(e, place);
        RefreshRecord rec{r.text("uid"), r.flag("revoked"), r.number("authTime"), r.number("serial")};
        const std::string hash = r.text("hash");
        if (r.error().empty() && !hash.empty()) refresh[hash] = rec;
        return r.error();
      });
  if (!read) return false;
  // What a save cut short left behind (the journal, written first, holds all of it) goes; the
  // server holds the data directory's lock, so no other program is writing them.
  auto dataFile = [](const std::string& name) {
    for (const char* file : {kUsersFile, kRefreshTokensFile, kCodesFile, kSaveJournal, kSigningKeyFile})
      if (name == file) return true;
    return false;
  };
  auto mailFile = [](const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0;
  };
  std::string removeError;
  if (!removeUnfinishedWrites(dir, dataFile, &removeError) ||
      !removeUnfinishedWrites(impl_->mailFolder(), mailFile, &removeError))
    return fail(removeError);
  if (keptSigner) {
    signer_ = std::move(keptSigner);
  } else {
    json j = {{"key", platform::base64Encode(signer_->key())}, {"kid", signer_->keyID()}};
    std::string werr;
    if (!platform::writeFileAtomically(keyPath, j.dump(), &werr, 0600)) return fail(werr);
  }
  if (fromJournal) {
    std::vector<std::pair<std::string, std::string>> files(texts.begin(), texts.end());
    std::string saveError;
    if (!saveTogether(dir, files, &saveError)) return fail("cannot finish the last save in " + dir + ": " + saveError);
  }
  impl_->users = std::move(users);
  impl_->oobCodes = std::move(codes);
  // The tokens of accounts that are gone (left by a program that kept them) would only grow the file.
  for (auto it = refresh.begin(); it != refresh.end();)
    it = impl_->users.count(it->second.uid) ? std::next(it) : refresh.erase(it);
  impl_->refresh = std::move(refresh);
  for (const auto& [hash, rec] : impl_->refresh) impl_->lastSerial = std::max(impl_->lastSerial, rec.serial);
  impl_->dropExpiredCodes();
  impl_->saved = {impl_->users, impl_->refresh, impl_->oobCodes};
  // Readable by the owner only: the mails carry working codes.
  const std::string mail = impl_->mailFolder();
  if (::mkdir(mail.c_str(), 0700) != 0 && errno != EEXIST) return fail("cannot create " + mail);
  ::chmod(mail.c_str(), 0700);
  return true;
}

bool IdentityService::applySeed(const nlohmann::json& seed, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  if (!seed.is_object()) return fail("the seed is not a JSON object");
  // Everything is read and checked before anything is taken: a seed with a damaged field changes
  // nothing, and names the field.
  RecordReader top(seed, "seed");
  // A list of texts; a list of something else is refused rather than read as an empty one (no API
  // keys would let any key in).
  auto texts = [&](const char* key, std::optional<std::vector<std::string>>* out) {
    const json* list = top.array(key);
    if (!list) return top.error().empty() || fail(top.error());
    out->emplace();
    for (const auto& v : *list) {
      if (!v.is_string()) return fail(std::string("seed: \"") + key + "\" lists something other than texts");
      (*out)->push_back(v.get<std::string>());
    }
    return true;
  };
  std::optional<std::vector<std::string>> apiKeys, domains;
  if (!texts("apiKeys", &apiKeys) || !texts("authorizedDomains", &domains)) return false;
  std::optional<std::string> customKey;
  if (seed.contains("customTokenKey")) {
    customKey = top.base64("customTokenKey");
    if (!top.error().empty()) return fail(top.error());
    if (customKey->empty()) return fail("seed: \"customTokenKey\" is not a base64 key");
  }
  std::vector<FederatedIdentity> identities;
  const json* list = top.array("federatedIdentities");
  if (!top.error().empty()) return fail(top.error());
  for (size_t i = 0; list && i < list->size(); ++i) {
    RecordReader r((*list)[i], "seed: federated identity " + std::to_string(i + 1));
    FederatedIdentity identity{r.text("providerId"), r.text("token"),       r.text("federatedId"),
                               r.text("email"),      r.text("displayName"), r.text("photoUrl")};
    if (!r.error().empty()) return fail(r.error());
    if (identity.providerId.empty() || identity.token.empty() || identity.federatedId.empty())
      return fail("seed: a federated identity needs \"providerId\", \"token\" and \"federatedId\"");
    identities.push_back(std::move(identity));
  }
  std::vector<SeedUser> users;
  list = top.array("users");
  if (!top.error().empty()) return fail(top.error());
  for (size_t i = 0; list && i < list->size(); ++i) {
    RecordReader r((*list)[i], "seed: user " + std::to_string(i + 1));
    SeedUser u{r.text("uid"),      r.text("email"),    r.text("password"),     r.text("displayName"),
               r.text("photoUrl"), r.flag("disabled"), r.flag("emailVerified")};
    if (!r.error().empty()) return fail(r.error());
    users.push_back(std::move(u));
  }

  if (apiKeys) setAPIKeys(*apiKeys);
  if (customKey) setCustomTokenKey(*customKey);
  for (const auto& identity : identities) addFederatedIdentity(identity);
  if (domains) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->authorizedDomains = *domains;
  }
  for (const auto& u : users) {
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      if ((!u.email.empty() && impl_->byEmail(u.email)) || (!u.uid.empty() && impl_->byID(u.uid))) continue;
    }
    if (addUser(u).empty()) return fail("cannot save the seed's users in " + impl_->dataDir);
  }
  return true;
}

void IdentityService::setAPIKeys(std::vector<std::string> keys) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->apiKeys = std::move(keys);
}

void IdentityService::setIDTokenLifetime(int64_t seconds) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->lifetime = seconds;
}

std::string IdentityService::addUser(const SeedUser& seed) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!seed.email.empty())
    if (StoredUser* old = impl_->byEmail(seed.email)) impl_->removeUser(std::string(old->uid));
  StoredUser u;
  u.uid = seed.uid.empty() ? impl_->newUID() : seed.uid;
  impl_->dropCodesOf(u.uid);
  u.email = seed.email;
  u.displayName = seed.displayName;
  u.photoUrl = seed.photoUrl;
  u.disabled = seed.disabled;
  u.emailVerified = seed.emailVerified;
  if (!seed.password.empty()) impl_->setPassword(u, seed.password);
  u.createdAtMs = nowMillis();
  impl_->users[u.uid] = u;
  if (!impl_->persist()) return "";
  return u.uid;
}

std::optional<UserInfo> IdentityService::userByEmail(const std::string& email) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const StoredUser* u = impl_->byEmail(email);
  return u ? std::optional<UserInfo>(infoOf(*u)) : std::nullopt;
}

std::optional<UserInfo> IdentityService::userByID(const std::string& uid) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const StoredUser* u = impl_->byID(uid);
  return u ? std::optional<UserInfo>(infoOf(*u)) : std::nullopt;
}

bool IdentityService::setUserDisabled(const std::string& uid, bool disabled) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  bool stored = false;
  return impl_->setDisabled(uid, disabled, &stored) && stored;
}

bool IdentityService::deleteUser(const std::string& uid) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->byID(uid)) return false;
  impl_->removeUser(uid);
  return impl_->persist();
}

void IdentityService::revokeRefreshTokens(const std::string& uid) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (auto& [hash, rec] : impl_->refresh)
    if (rec.uid == uid) rec.revoked = true;
  if (StoredUser* u = impl_->byID(uid)) u->validSince = nowSeconds();
  impl_->persist();
}

bool IdentityService::revokeRefreshToken(const std::string& refreshToken) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->refresh.find(sha256Hex(refreshToken));
  if (it == impl_->refresh.end()) return false;
  it->second.revoked = true;
  return impl_->persist();
}

void IdentityService::setCustomTokenKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->customTokenKey = key;
}

void IdentityService::addFederatedIdentity(const FederatedIdentity& identity) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->identities.push_back(identity);
}

std::vector<std::string> IdentityService::linkedProviders(const std::string& uid) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<std::string> out;
  if (const StoredUser* u = impl_->byID(uid))
    for (const auto& p : u->providers) out.push_back(p.providerId);
  return out;
}

std::vector<OobMail> IdentityService::sentMails() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->mails;
}

void IdentityService::keepSentMails(bool keep) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->keepMails = keep;
}

void IdentityService::setClockForTests(std::function<int64_t()> nowSeconds) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->clock = std::move(nowSeconds);
}

std::string IdentityService::mailDirectory() const { return impl_->mailFolder(); }

namespace {

// Claims of an ID token for the user, issued at `iat`.
json claimsFor(const StoredUser& u, const std::string& projectId, int64_t iat, int64_t lifetime, int64_t authTime,
               const std::string& jti) {
  std::string provider = u.hasPassword() || u.emailLinkSignin ? "password"
                         : !u.providers.empty()             ? u.providers.front().providerId
                         : u.email.empty()                  ? "anonymous"
                                                            : "password";
  json identities = json::object();
  if (!u.email.empty()) identities["email"] = json::array({u.email});
  json claims = {{"iss", "https://securetoken.vorellin.local/" + projectId},
                 {"aud", projectId},
                 {"auth_time", authTime},
                 {"user_id", u.uid},
                 {"sub", u.uid},
                 {"iat", iat},
                 {"exp", iat + lifetime},
                 {"jti", jti},
                 {"sign_in_provider", provider},
                 {"davedove", {{"identities", identities}, {"sign_in_provider", provider}}}};
  if (!u.email.empty()) {
    claims["email"] = u.email;
    claims["email_verified"] = u.emailVerified;
  }
  if (!u.displayName.empty()) claims["name"] = u.displayName;
  if (!u.photoUrl.empty()) claims["picture"] = u.photoUrl;
  return claims;
}

json providerInfo(const StoredUser& u) {
  json list = json::array();
  // The e-mail provider signs in with a password, a mailed link, or both.
  if ((u.hasPassword() || u.emailLinkSignin) && !u.email.empty()) {
    json p = {{"providerId", "password"}, {"federatedId", u.email}, {"email", u.email}, {"rawId", u.email}};
    if (!u.displayName.empty()) p["displayName"] = u.displayName;
    if (!u.photoUrl.empty()) p["photoUrl"] = u.photoUrl;
    list.push_back(p);
  }
  for (const auto& linked : u.providers) {
    json p = {{"providerId", linked.providerId}, {"federatedId", linked.federatedId}, {"rawId", linked.federatedId}};
    if (!linked.email.empty()) p["email"] = linked.email;
    if (!linked.displayName.empty()) p["displayName"] = linked.displayName;
    if (!linked.photoUrl.empty()) p["photoUrl"] = linked.photoUrl;
    list.push_back(p);
  }
  return list;
}

json accountRecord(const StoredUser& u) {
  json r = {{"localId", u.uid},
            {"emailVerified", u.emailVerified},
            {"providerUserInfo", providerInfo(u)},
            {"validSince", std::to_string(u.validSince)},
            {"lastLoginAt", std::to_string(u.lastLoginAtMs)},
            {"createdAt", std::to_string(u.createdAtMs)}};
  if (!u.email.empty()) r["email"] = u.email;
  if (!u.displayName.empty()) r["displayName"] = u.displayName;
  if (!u.photoUrl.empty()) r["photoUrl"] = u.photoUrl;
  if (u.hasPassword()) {
    r["passwordHash"] = kRedactedPasswordHash;
    r["passwordUpdatedAt"] = u.passwordUpdatedAtMs;
  }
  if (u.disabled) r["disabled"] = true;
  return r;
}

}  // namespace

std::string IdentityService::mintIDToken(const std::string& uid, int64_t issuedAt, int64_t lifetimeSeconds) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const StoredUser* u = impl_->byID(uid);
  if (!u) return {};
  return signer_->sign(claimsFor(*u, projectId_, issuedAt, lifetimeSeconds, issuedAt, hex(randomBytes(8))));
}

std::optional<nlohmann::json> IdentityService::verifyIDToken(const std::string& idToken, std::string* keyword) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::string failure;
  json claims;
  if (!impl_->userForToken(*signer_, idToken, &failure, &claims)) {
    if (keyword) *keyword = failure;
    return std::nullopt;
  }
  return claims;
}

// ---- HTTP ----

namespace {

// The token part of a sign-in reply; the caller holds the lock.
struct Tokens {
  std::string idToken;
  std::string refreshToken;
};

}  // namespace

void IdentityService::registerRoutes(httplib::Server& server) {
  Impl* impl = impl_.get();

  // Mints an ID token (and a refresh token when asked); the caller holds impl->mutex.
  auto issue = [this, impl](const StoredUser& u, bool withRefresh, int64_t authTime) {
    Tokens t;
    int64_t now = nowSeconds();
    t.idToken = signer_->sign(claimsFor(u, projectId_, now, impl->lifetime, authTime, hex(randomBytes(8))));
    if (withRefresh) {
      t.refreshToken = platform::base64URLEncode(randomBytes(48));
      impl->addRefreshToken(sha256Hex(t.refreshToken), u.uid, authTime);
    }
    return t;
  };

  auto keyAccepted = [impl](const httplib::Request& req, httplib::Response& res) {
    std::string key = req.has_param("key") ? req.get_param_value("key") : std::string();
    bool ok;
    {
      std::lock_guard<std::mutex> lock(impl->mutex);
      ok = impl->apiKeys.empty() ? !key.empty()
                                 : std::find(impl->apiKeys.begin(), impl->apiKeys.end(), key) != impl->apiKeys.end();
    }
    if (!ok) replyError(res, 400, "API key not valid. Please pass a valid API key.", "keyInvalid", "usageLimits");
    return ok;
  };

  // Checks an ID token and finds its user; the caller holds impl->mutex.
  auto userForToken = [this, impl](const std::string& idToken, Failure* failure) -> StoredUser* {
    *failure = {};
    return impl->userForToken(*signer_, idToken, &failure->keyword);
  };

  auto verifyPassword = [=](const json& body, httplib::Response& res) {
    std::string email = stringField(body, "email");
    std::string password = stringField(body, "password");
    if (email.empty()) return replyFailure(res, {"MISSING_EMAIL", ""});
    if (!validEmail(email)) return replyFailure(res, {"INVALID_EMAIL", ""});
    if (password.empty()) return replyFailure(res, {"MISSING_PASSWORD", ""});
    std::lock_guard<std::mutex> lock(impl->mutex);
    StoredUser* u = impl->byEmail(email);
    if (!u) return replyFailure(res, {"EMAIL_NOT_FOUND", ""});
    if (!Impl::passwordMatches(*u, password)) return replyFailure(res, {"INVALID_PASSWORD", ""});
    if (u->disabled) return replyFailure(res, {"USER_DISABLED", "The user account has been disabled by an administrator."});
    u->lastLoginAtMs = nowMillis();
    Tokens t = issue(*u, boolField(body, "returnSecureToken"), nowSeconds());
    json reply = {{"kind", "identityservice#VerifyPasswordResponse"},
                  {"localId", u->uid},
                  {"email", u->email},
                  {"displayName", u->displayName},
                  {"idToken", t.idToken},
                  {"registered", true},
                  {"expiresIn", std::to_string(impl->lifetime)}};
    if (!t.refreshToken.empty()) reply["refreshToken"] = t.refreshToken;
    if (!u->photoUrl.empty()) reply["photoUrl"] = u->photoUrl;
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, reply);
  };

  auto signupNewUser = [=](const json& body, httplib::Response& res) {
    bool hasEmail = body.contains("email");
    bool hasPassword = body.contains("password");
    std::string email = stringField(body, "email");
    std::string password = stringField(body, "password");
    if (hasEmail || hasPassword) {
      if (email.empty()) return replyFailure(res, {"MISSING_EMAIL", ""});
      if (!validEmail(email)) return replyFailure(res, {"INVALID_EMAIL", ""});
      if (password.empty()) return replyFailure(res, {"MISSING_PASSWORD", ""});
      if (password.size() < kMinimumPasswordLength)
        return replyFailure(res, {"WEAK_PASSWORD", "Password should be at least 6 characters"});
    }
    if (auto overlong = overlongProfileField(body)) return replyFailure(res, *overlong);
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (!email.empty() && impl->byEmail(email)) return replyFailure(res, {"EMAIL_EXISTS", ""});
    StoredUser u;
    u.uid = impl->newUID();
    u.email = email;
    u.displayName = stringField(body, "displayName");
    if (!password.empty()) impl->setPassword(u, password);
    u.createdAtMs = u.lastLoginAtMs = nowMillis();
    impl->users[u.uid] = u;
    Tokens t = issue(u, boolField(body, "returnSecureToken"), nowSeconds());
    if (!impl->persist()) return replyNotSaved(res);
    json reply = {{"kind", "identityservice#SignupNewUserResponse"},
                  {"localId", u.uid},
                  {"idToken", t.idToken},
                  {"expiresIn", std::to_string(impl->lifetime)}};
    if (!u.email.empty()) reply["email"] = u.email;
    if (!u.displayName.empty()) reply["displayName"] = u.displayName;
    if (!t.refreshToken.empty()) reply["refreshToken"] = t.refreshToken;
    replyJSON(res, reply);
  };

  auto getAccountInfo = [=](const json& body, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    Failure failure;
    StoredUser* u = userForToken(stringField(body, "idToken"), &failure);
    if (!u) return replyFailure(res, failure);
    replyJSON(res, {{"kind", "identityservice#GetAccountInfoResponse"}, {"users", json::array({accountRecord(*u)})}});
  };

  auto setAccountInfo = [=](const json& body, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (!body.contains("idToken") && body.contains("oobCode")) {
      // Applying a mailed action code to its account: verifying the address, or taking back the
      // address of before a change.
      Failure failure;
      auto code = impl->usableCode(stringField(body, "oobCode"), &failure);
      if (code == impl->oobCodes.end()) return replyFailure(res, failure);
      const PendingCode pending = code->second;
      const bool recover = pending.requestType == "RECOVER_EMAIL";
      if (!recover && pending.requestType != "VERIFY_EMAIL") return replyFailure(res, {"INVALID_OOB_CODE", ""});
      StoredUser* u = impl->byID(pending.uid);
      if (!u) return replyFailure(res, {"USER_NOT_FOUND", ""});
      if (u->disabled) return replyFailure(res, {"USER_DISABLED", ""});
      if (recover) {
        StoredUser* other = impl->byEmail(pending.email);
        if (other && other != u) return replyFailure(res, {"EMAIL_EXISTS", ""});
        // A change of address like any other: the account's codes go (this one too), its sessions end.
        impl->dropCodesOf(u->uid);
        impl->endSessions(*u);
        u->email = pending.email;
      } else {
        impl->oobCodes.erase(code);
        impl->codesChanged = true;
      }
      u->emailVerified = true;
      const json reply = {{"kind", "identityservice#SetAccountInfoResponse"},
                          {"localId", u->uid},
                          {"email", u->email},
                          {"emailVerified", true}};
      if (!impl->persist()) return replyNotSaved(res);
      return replyJSON(res, reply);
    }
    Failure failure;
    StoredUser* found = userForToken(stringField(body, "idToken"), &failure);
    if (!found) return replyFailure(res, failure);
    if (auto overlong = overlongProfileField(body)) return replyFailure(res, *overlong);
    StoredUser u = *found;  // changed as a whole or not at all
    bool credentialsChanged = false;
    std::string previousEmail;  // the account had this address until now
    if (body.contains("email")) {
      std::string email = stringField(body, "email");
      if (!validEmail(email)) return replyFailure(res, {"INVALID_EMAIL", ""});
      StoredUser* other = impl->byEmail(email);
      if (other && other->uid != u.uid) return replyFailure(res, {"EMAIL_EXISTS", ""});
      if (lower(email) != lower(u.email)) {
        previousEmail = u.email;
        u.email = email;
        u.emailVerified = false;
        credentialsChanged = true;
      }
    }
    if (body.contains("password")) {
      std::string password = stringField(body, "password");
      if (password.size() < kMinimumPasswordLength)
        return replyFailure(res, {"WEAK_PASSWORD", "Password should be at least 6 characters"});
      impl->setPassword(u, password);
      credentialsChanged = true;
    }
    if (body.contains("displayName")) u.displayName = stringField(body, "displayName");
    if (body.contains("photoUrl")) u.photoUrl = stringField(body, "photoUrl");
    if (boolField(body, "emailVerified")) u.emailVerified = true;
    auto strings = [&](const char* key) {
      std::vector<std::string> out;
      if (body.contains(key) && body[key].is_array())
        for (const auto& v : body[key])
          if (v.is_string()) out.push_back(v.get<std::string>());
      return out;
    };
    for (const auto& attr : strings("deleteAttribute")) {
      if (attr == "DISPLAY_NAME") u.displayName.clear();
      if (attr == "PHOTO_URL") u.photoUrl.clear();
      if (attr == "EMAIL") u.email.clear();
      if (attr == "PASSWORD") u.salt.clear(), u.passwordHash.clear();
      if (attr == "PROVIDER") u.providers.clear();
    }
    for (const auto& provider : strings("deleteProvider")) {
      if (provider == "password") u.salt.clear(), u.passwordHash.clear();
      u.providers.erase(std::remove_if(u.providers.begin(), u.providers.end(),
                                       [&](const LinkedProvider& p) { return p.providerId == provider; }),
                        u.providers.end());
    }
    // Removing the address is a change of it too.
    const bool addressChanged = lower(u.email) != lower(found->email);
    // Older sessions end with a credential change; the reply carries the new one.
    if (credentialsChanged || addressChanged) impl->endSessions(u);
    // The codes issued for the account concerned the address it had.
    if (addressChanged) impl->dropCodesOf(u.uid);
    *found = u;
    // The old address is told, with a code that takes the change back.
    if (!previousEmail.empty()) impl->sendMail("RECOVER_EMAIL", u.uid, previousEmail, u.email);
    json reply = {{"kind", "identityservice#SetAccountInfoResponse"},
                  {"localId", u.uid},
                  {"emailVerified", u.emailVerified},
                  {"providerUserInfo", providerInfo(u)}};
    if (!u.email.empty()) reply["email"] = u.email;
    if (!u.displayName.empty()) reply["displayName"] = u.displayName;
    if (!u.photoUrl.empty()) reply["photoUrl"] = u.photoUrl;
    if (u.hasPassword()) reply["passwordHash"] = kRedactedPasswordHash;
    if (boolField(body, "returnSecureToken")) {
      Tokens t = issue(u, true, nowSeconds());
      reply["idToken"] = t.idToken;
      reply["refreshToken"] = t.refreshToken;
      reply["expiresIn"] = std::to_string(impl->lifetime);
    }
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, reply);
  };

  auto getOobConfirmationCode = [=](const json& body, httplib::Response& res) {
    std::string type = stringField(body, "requestType");
    std::lock_guard<std::mutex> lock(impl->mutex);
    std::string email;
    if (type == "VERIFY_EMAIL") {
      Failure failure;
      StoredUser* u = userForToken(stringField(body, "idToken"), &failure);
      if (!u) return replyFailure(res, failure);
      if (u->email.empty()) return replyFailure(res, {"MISSING_EMAIL", ""});
      email = u->email;
    } else if (type == "PASSWORD_RESET" || type == "EMAIL_SIGNIN") {
      email = stringField(body, "email");
      if (email.empty()) return replyFailure(res, {"MISSING_EMAIL", ""});
      if (!validEmail(email)) return replyFailure(res, {"INVALID_EMAIL", ""});
      if (type == "PASSWORD_RESET" && !impl->byEmail(email)) return replyFailure(res, {"EMAIL_NOT_FOUND", ""});
    } else {
      return replyFailure(res, {"INVALID_REQUEST_TYPE", ""});
    }
    const std::string continueUrl = stringField(body, "continueUrl");
    if (continueUrl.size() > kMaxContinueUrlBytes)
      return replyFailure(res, {"INVALID_CONTINUE_URI", "The continue URL is longer than 4096 bytes."});
    // Issued for the account that has the address now (a sign-in link may find none).
    const StoredUser* holder = impl->byEmail(email);
    impl->sendMail(type, holder ? holder->uid : std::string(), email, "", continueUrl);
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, {{"kind", "identityservice#GetOobConfirmationCodeResponse"}, {"email", email}});
  };

  // The sign-in reply fields every token-issuing call shares; the caller holds impl->mutex.
  auto tokenReply = [=](const StoredUser& u, const char* kind, bool withRefresh) {
    Tokens t = issue(u, withRefresh, nowSeconds());
    json reply = {{"kind", kind},
                  {"localId", u.uid},
                  {"idToken", t.idToken},
                  {"expiresIn", std::to_string(impl->lifetime)}};
    if (!t.refreshToken.empty()) reply["refreshToken"] = t.refreshToken;
    if (!u.email.empty()) reply["email"] = u.email;
    if (!u.displayName.empty()) reply["displayName"] = u.displayName;
    return reply;
  };

  auto createAuthUri = [=](const json& body, httplib::Response& res) {
    std::string identifier = stringField(body, "identifier");
    if (identifier.empty()) return replyFailure(res, {"MISSING_IDENTIFIER", ""});
    if (!validEmail(identifier)) return replyFailure(res, {"INVALID_IDENTIFIER", ""});
    if (stringField(body, "continueUri").empty()) return replyFailure(res, {"MISSING_CONTINUE_URI", ""});
    std::lock_guard<std::mutex> lock(impl->mutex);
    json reply = {{"kind", "identityservice#CreateAuthUriResponse"}, {"registered", false}};
    if (const StoredUser* u = impl->byEmail(identifier)) {
      json providers = json::array(), methods = json::array();
      if (u->hasPassword()) providers.push_back("password"), methods.push_back("password");
      else if (u->emailLinkSignin) methods.push_back("emailLink");
      for (const auto& p : u->providers) providers.push_back(p.providerId), methods.push_back(p.providerId);
      reply["registered"] = true;
      reply["allProviders"] = providers;
      reply["signinMethods"] = methods;
    }
    replyJSON(res, reply);
  };

  auto deleteAccount = [=](const json& body, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    Failure failure;
    StoredUser* u = userForToken(stringField(body, "idToken"), &failure);
    if (!u) return replyFailure(res, failure);
    if (body.contains("localId") && stringField(body, "localId") != u->uid) return replyFailure(res, {"INVALID_ID_TOKEN", ""});
    impl->removeUser(std::string(u->uid));
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, {{"kind", "identityservice#DeleteAccountResponse"}});
  };

  auto emailLinkSignin = [=](const json& body, httplib::Response& res) {
    std::string email = stringField(body, "email");
    if (email.empty()) return replyFailure(res, {"MISSING_EMAIL", ""});
    if (!validEmail(email)) return replyFailure(res, {"INVALID_EMAIL", ""});
    std::lock_guard<std::mutex> lock(impl->mutex);
    Failure failure;
    auto code = impl->usableCode(stringField(body, "oobCode"), &failure);
    if (code == impl->oobCodes.end()) return replyFailure(res, failure);
    if (code->second.requestType != "EMAIL_SIGNIN") return replyFailure(res, {"INVALID_OOB_CODE", ""});
    if (lower(code->second.email) != lower(email)) return replyFailure(res, {"INVALID_EMAIL", "The code was sent to another address."});
    StoredUser* u = impl->byEmail(email);
    bool isNewUser = false;
    if (body.contains("idToken")) {
      // Linking the address to the signed-in account.
      StoredUser* linking = userForToken(stringField(body, "idToken"), &failure);
      if (!linking) return replyFailure(res, failure);
      if (u && u != linking) return replyFailure(res, {"EMAIL_EXISTS", ""});
      if (!u) {
        // A change of address like any other: the account's codes go, its other sessions end (the
        // reply carries its new one), and the old address is told with a code that takes it back.
        impl->dropCodesOf(linking->uid);
        impl->endSessions(*linking);
        if (!linking->email.empty()) impl->sendMail("RECOVER_EMAIL", linking->uid, linking->email, email);
      }
      u = linking;
      u->email = email;
    }
    if (u && u->disabled) return replyFailure(res, {"USER_DISABLED", ""});
    impl->oobCodes.erase(code);
    impl->codesChanged = true;
    if (!u) {
      StoredUser created;
      created.uid = impl->newUID();
      created.email = email;
      created.createdAtMs = nowMillis();
      u = &(impl->users[created.uid] = created);
      isNewUser = true;
    }
    u->emailVerified = true;
    u->emailLinkSignin = true;
    u->lastLoginAtMs = nowMillis();
    json reply = tokenReply(*u, "identityservice#EmailLinkSigninResponse", true);
    reply["isNewUser"] = isNewUser;
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, reply);
  };

  auto getProjectConfig = [=](const json&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    json domains = json::array();
    if (impl->authorizedDomains.empty()) {
      domains = {"localhost", projectId_ + ".davedoveapp.com"};
    } else {
      for (const auto& d : impl->authorizedDomains) domains.push_back(d);
    }
    replyJSON(res, {{"projectId", projectId_}, {"authorizedDomains", domains}});
  };

  auto resetPassword = [=](const json& body, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    Failure failure;
    auto code = impl->usableCode(stringField(body, "oobCode"), &failure);
    if (code == impl->oobCodes.end()) return replyFailure(res, failure);
    const PendingCode mail = code->second;
    json reply = {{"kind", "identityservice#ResetPasswordResponse"}, {"email", mail.email}, {"requestType", mail.requestType}};
    if (!mail.newEmail.empty()) reply["newEmail"] = mail.newEmail;
    if (!body.contains("newPassword")) return replyJSON(res, reply);  // only checks the code
    if (mail.requestType != "PASSWORD_RESET") return replyFailure(res, {"INVALID_OOB_CODE", ""});
    std::string password = stringField(body, "newPassword");
    if (password.size() < kMinimumPasswordLength)
      return replyFailure(res, {"WEAK_PASSWORD", "Password should be at least 6 characters"});
    StoredUser* u = impl->byID(mail.uid);
    if (!u) return replyFailure(res, {"EMAIL_NOT_FOUND", ""});
    if (u->disabled) return replyFailure(res, {"USER_DISABLED", ""});
    impl->oobCodes.erase(code);
    impl->codesChanged = true;
    impl->setPassword(*u, password);
    impl->endSessions(*u);
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, reply);
  };

  auto verifyCustomToken = [=](const json& body, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (impl->customTokenKey.empty()) return replyFailure(res, {"OPERATION_NOT_ALLOWED", "No custom-token key is configured."});
    auto claims = TokenSigner(impl->customTokenKey, "").verify(stringField(body, "token"));
    if (!claims || !(*claims)["uid"].is_string() || (*claims)["uid"].get<std::string>().empty() ||
        !(*claims)["exp"].is_number_integer())
      return replyFailure(res, {"INVALID_CUSTOM_TOKEN", ""});
    if ((*claims)["exp"].get<int64_t>() <= nowSeconds())
      return replyFailure(res, {"INVALID_CUSTOM_TOKEN", "The custom token has expired."});
    if (claims->contains("aud") && claims->value("aud", "") != projectId_) return replyFailure(res, {"CREDENTIAL_MISMATCH", ""});
    const std::string uid = (*claims)["uid"].get<std::string>();
    StoredUser* u = impl->byID(uid);
    bool isNewUser = false;
    if (!u) {
      StoredUser created;
      created.uid = uid;
      created.createdAtMs = nowMillis();
      u = &(impl->users[uid] = created);
      isNewUser = true;
    }
    if (u->disabled) return replyFailure(res, {"USER_DISABLED", ""});
    u->lastLoginAtMs = nowMillis();
    json reply = tokenReply(*u, "identityservice#VerifyCustomTokenResponse", boolField(body, "returnSecureToken"));
    reply["isNewUser"] = isNewUser;
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, reply);
  };

  auto verifyAssertion = [=](const json& body, httplib::Response& res) {
    // The provider's proof is a query text inside the JSON.
    httplib::Params proof;
    httplib::detail::parse_query_text(stringField(body, "postBody"), proof);
    auto param = [&](const char* key) {
      auto it = proof.find(key);
      return it == proof.end() ? std::string() : it->second;
    };
    const std::string providerId = param("providerId");
    if (providerId.empty()) return replyFailure(res, {"INVALID_PROVIDER_ID", ""});
    if (stringField(body, "requestUri").empty()) return replyFailure(res, {"MISSING_REQUEST_URI", ""});
    std::lock_guard<std::mutex> lock(impl->mutex);
    const FederatedIdentity* identity = impl->identityFor(providerId, param("id_token"));
    if (!identity) identity = impl->identityFor(providerId, param("access_token"));
    if (!identity) identity = impl->identityFor(providerId, stringField(body, "pendingToken"));
    if (!identity) return replyFailure(res, {"INVALID_IDP_RESPONSE", "The provider's token is not valid."});
    const bool returnIdpCredential = boolField(body, "returnIdpCredential");
    json reply = {{"kind", "identityservice#VerifyAssertionResponse"},
                  {"providerId", identity->providerId},
                  {"federatedId", identity->federatedId},
                  {"rawUserInfo", json{{"id", identity->federatedId}, {"email", identity->email},
                                       {"name", identity->displayName}}.dump()}};
    if (!identity->email.empty()) reply["email"] = identity->email;
    if (!identity->displayName.empty()) reply["displayName"] = identity->displayName;
    if (returnIdpCredential) {
      if (!param("id_token").empty()) reply["oauthIdToken"] = param("id_token");
      if (!param("access_token").empty()) reply["oauthAccessToken"] = param("access_token");
    }
    const LinkedProvider linked{identity->providerId, identity->federatedId, identity->email, identity->displayName,
                                identity->photoUrl};
    StoredUser* owner = impl->byFederatedID(identity->providerId, identity->federatedId);
    StoredUser* u = nullptr;
    bool isNewUser = false;
    if (body.contains("idToken")) {
      // Linking to the signed-in account.
      Failure failure;
      u = userForToken(stringField(body, "idToken"), &failure);
      if (!u) return replyFailure(res, failure);
      if (owner && owner != u) {
        // Answered in a successful reply so that the client learns the provider's credential.
        reply["errorMessage"] = "FEDERATED_USER_ID_ALREADY_LINKED";
        return replyJSON(res, reply);
      }
      if (u->provider(identity->providerId)) return replyFailure(res, {"PROVIDER_ALREADY_LINKED", ""});
      u->providers.push_back(linked);
      if (u->email.empty() && !identity->email.empty()) {
        // The account gets an address: a change like any other, the reply carries its new session.
        impl->endSessions(*u);
        u->email = identity->email;
      }
    } else if (owner) {
      u = owner;
    } else {
      StoredUser* sameEmail = identity->email.empty() ? nullptr : impl->byEmail(identity->email);
      if (sameEmail) {
        // The address belongs to an account that this provider does not sign in to.
        reply["needConfirmation"] = true;
        return replyJSON(res, reply);
      }
      if (!body.contains("autoCreate") || !boolField(body, "autoCreate")) return replyFailure(res, {"USER_NOT_FOUND", ""});
      StoredUser created;
      created.uid = impl->newUID();
      created.email = identity->email;
      created.displayName = identity->displayName;
      created.photoUrl = identity->photoUrl;
      created.createdAtMs = nowMillis();
      created.providers.push_back(linked);
      u = &(impl->users[created.uid] = created);
      isNewUser = true;
    }
    if (u->disabled) return replyFailure(res, {"USER_DISABLED", ""});
    u->lastLoginAtMs = nowMillis();
    json tokens = tokenReply(*u, "identityservice#VerifyAssertionResponse", boolField(body, "returnSecureToken"));
    for (const char* key : {"localId", "idToken", "refreshToken", "expiresIn"})
      if (tokens.contains(key)) reply[key] = tokens[key];
    reply["isNewUser"] = isNewUser;
    if (!impl->persist()) return replyNotSaved(res);
    replyJSON(res, reply);
  };

  // The stand-in knows no game players: like a machine without a signed-in local player, every
  // game-centre proof is refused.
  auto signInWithGameCenter = [=](const json&, httplib::Response& res) {
    replyFailure(res, {"INVALID_IDP_RESPONSE", "No local game player could be verified."});
  };

  std::map<std::string, std::function<void(const json&, httplib::Response&)>> calls = {
      {"createAuthUri", createAuthUri},
      {"deleteAccount", deleteAccount},
      {"emailLinkSignin", emailLinkSignin},
      {"getProjectConfig", getProjectConfig},
      {"resetPassword", resetPassword},
      {"verifyCustomToken", verifyCustomToken},
      {"verifyAssertion", verifyAssertion},
      {"signInWithGameCenter", signInWithGameCenter},
      {"verifyPassword", verifyPassword},
      {"signupNewUser", signupNewUser},
      {"getAccountInfo", getAccountInfo},
      {"setAccountInfo", setAccountInfo},
      {"getOobConfirmationCode", getOobConfirmationCode},
  };

  server.Post(std::string(kRelyingPartyPrefix) + "([A-Za-z]+)",
              [calls, keyAccepted](const httplib::Request& req, httplib::Response& res) {
                auto call = calls.find(req.matches[1].str());
                if (call == calls.end()) return replyError(res, 404, "Not Found", "notFound");
                if (!keyAccepted(req, res)) return;
                // A call without a body (the project configuration) reads as an empty object.
                json body = req.body.empty() ? json::object() : parseJSON(req.body);
                if (!body.is_object()) return replyError(res, 400, "Invalid JSON payload received.", "badRequest");
                call->second(body, res);
              });

  server.Post("/v1/token", [=](const httplib::Request& req, httplib::Response& res) {
    if (!keyAccepted(req, res)) return;
    std::string grantType;
    std::string refreshToken;
    json body = parseJSON(req.body);
    if (body.is_object()) {
      grantType = stringField(body, "grantType");
      if (grantType.empty()) grantType = stringField(body, "grant_type");
      refreshToken = stringField(body, "refreshToken");
      if (refreshToken.empty()) refreshToken = stringField(body, "refresh_token");
    } else {
      httplib::Params form;
      httplib::detail::parse_query_text(req.body, form);
      if (auto it = form.find("grant_type"); it != form.end()) grantType = it->second;
      if (auto it = form.find("refresh_token"); it != form.end()) refreshToken = it->second;
    }
    if (grantType != "refresh_token") return replyFailure(res, {"INVALID_GRANT_TYPE", ""});
    if (refreshToken.empty()) return replyFailure(res, {"MISSING_REFRESH_TOKEN", ""});
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto rec = impl->refresh.find(sha256Hex(refreshToken));
    // Keywords the client maps to an invalid-token error, so that it signs the user out (an unknown
    // token is also one of a deleted account).
    if (rec == impl->refresh.end()) return replyFailure(res, {"INVALID_ID_TOKEN", ""});
    if (rec->second.revoked) return replyFailure(res, {"TOKEN_EXPIRED", ""});
    StoredUser* u = impl->byID(rec->second.uid);
    if (!u) return replyFailure(res, {"USER_NOT_FOUND", ""});
    if (u->disabled) return replyFailure(res, {"USER_DISABLED", ""});
    Tokens t = issue(*u, false, rec->second.authTime);
    replyJSON(res, {{"access_token", t.idToken},
                    {"expires_in", std::to_string(impl->lifetime)},
                    {"token_type", "Bearer"},
                    {"refresh_token", refreshToken},
                    {"id_token", t.idToken},
                    {"user_id", u->uid},
                    {"project_id", projectId_}});
  });

  // The server's admin guard has checked the token and the host before this runs.
  server.Post("/admin/v1/accounts(.*)", [this](const httplib::Request& req, httplib::Response& res) {
    auto reply = [&res](int status, const json& body) {
      res.status = status;
      res.set_content(body.dump(), "application/json");
    };
    // From the path as sent, "/admin/v1/accounts/<uid>:<action>": a "/" in a uid comes as "%2F", one
    // segment, and is decoded only once the segments are told apart.
    const std::string prefix = "/admin/v1/accounts/";
    const std::string sent = req.target.substr(0, req.target.find('?'));
    const size_t colon = sent.rfind(':');
    std::string uid, action;
    if (sent.rfind(prefix, 0) == 0 && colon != std::string::npos && colon >= prefix.size()) {
      uid = sent.substr(prefix.size(), colon - prefix.size());
      action = sent.substr(colon + 1);
    }
    if (uid.find('/') != std::string::npos) uid.clear();
    uid = httplib::detail::decode_url(uid, false);
    if (uid.empty() || (action != "disable" && action != "enable"))
      return reply(400, {{"error", "expected /admin/v1/accounts/<uid>:disable or /admin/v1/accounts/<uid>:enable"}});
    const bool disabled = action == "disable";
    std::lock_guard<std::mutex> lock(impl_->mutex);
    bool stored = false;
    if (!impl_->setDisabled(uid, disabled, &stored)) return reply(404, {{"error", "no such account"}});
    if (!stored) return reply(500, {{"error", "the change could not be saved"}});
    reply(200, {{"uid", uid}, {"disabled", disabled}});
  });
}

}  // namespace backend
