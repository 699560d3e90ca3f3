#include "Vorellin/dnscrypt/FenwixHelper.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "Vorellin/AppUtils.h"
#include "Vorellin/VrlUserDefault.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "platform/applescript/AppleScript.h"
#include "Vorellin/Text.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/System.h"
#include "platform/foundation/Utf8.h"
#include "platform/logging/Log.h"
#include "platform/process/Process.h"
#include "sdk-core/DAVApp.h"

namespace vorellin {
namespace {

using text::trim;

constexpr const char* kRunRootCommandsFunction = "runRootCommands(commands:)";
constexpr const char* kCheckServiceFunction = "checkFenwixService(forceRestart:)";
constexpr const char* kHttpsPrefix = "https://";
constexpr const char* kCannotWriteFile = "Cannot write file";
constexpr size_t kMaxFieldLength = 255;

// Writers of the live configuration (main queue and DNS-transition queue) take this in turn.
std::mutex& configMutex() {
  static std::mutex mutex;
  return mutex;
}

// The signed-in user of the default app's authentication client, if any.
std::optional<std::string> signedInUserId() {
  if (!DAVApp::isDefaultAppConfigured()) return std::nullopt;
  try {
    std::shared_ptr<DAVAuth> auth = DAVAuth::auth();
    std::shared_ptr<DAVUser> user = auth ? auth->currentUser() : nullptr;
    if (user) return user->uid();
  } catch (const platform::Exception& e) {
    VRL_LOG_ERROR_AT(__FILE__, "writeFenwixConfig", __LINE__, "No authentication client: " << e.what());
  }
  return std::nullopt;
}

// The main bundle's resource folder; without a main bundle there is no place for the proxy's files.
std::optional<std::string> resourceFolder(const char* function) {
  if (std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main()) return bundle->resourcePath();
  VRL_LOG_ERROR_AT(__FILE__, function, __LINE__, "No main bundle: the FENWIX proxy's files cannot be found");
  return std::nullopt;
}

std::mutex& hookMutex() {
  static std::mutex mutex;
  return mutex;
}

FenwixHelper::UserIdProvider& userIdProviderHook() {
  static FenwixHelper::UserIdProvider provider;
  return provider;
}

// Marks that join the character before them into one (combining marks, joiners, variation selectors).
bool isJoiningMark(uint32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x1AB0 && cp <= 0x1AFF) || (cp >= 0x1DC0 && cp <= 0x1DFF) ||
         (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0xFE20 && cp <= 0xFE2F) || (cp >= 0xFE00 && cp <= 0xFE0F) ||
         cp == 0x200D || (cp >= 0xE0100 && cp <= 0xE01EF);
}

// Decodes UTF-8 into code points; a byte that does not start a valid sequence becomes U+FFFD.
std::vector<uint32_t> codePoints(const std::string& text) {
  std::vector<uint32_t> out;
  platform::decodeUtf8(text, &out);
  return out;
}

// Character by character: a lone ASCII character is its byte, carriage return + line feed is one
// line feed, everything else (non-ASCII, or ASCII carrying a combining mark) is left out.
std::string stampBytes(const std::string& text) {
  const std::vector<uint32_t> cps = codePoints(text);
  std::string out;
  size_t i = 0;
  while (i < cps.size()) {
    size_t end = i + 1;
    if (cps[i] == '\r' && end < cps.size() && cps[end] == '\n') ++end;
    while (end < cps.size() && isJoiningMark(cps[end])) ++end;
    const size_t length = end - i;
    if (length == 1 && cps[i] < 0x80) {
      out += static_cast<char>(cps[i]);
    } else if (length == 2 && cps[i] == '\r' && cps[i + 1] == '\n') {
      out += '\n';
    }
    i = end;
  }
  return out;
}

std::string removeAll(std::string text, const std::string& what) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, what.size());
  return text;
}

// A decimal integer: optional sign, then digits only.
std::optional<long long> decimalInteger(const std::string& text) {
  std::string digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.erase(0, 1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  long long value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return negative ? -value : value;
}

bool allSwitchesOn() {
  const VrlUserDefault& settings = VrlUserDefault::shared();
  return settings.blockerState() && settings.customBlacklistState() && settings.fenwixInEffect();
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return buffer.str();
}

// Writes a temporary file beside the target and renames it over the target, so readers see the old
// file or the new one and never a part.
bool replaceFileAtomically(const std::string& path, const std::string& content) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string temp = dir + "/.dnscrypt-proxy.toml.XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0644) == 0;
  size_t written = 0;
  while (ok && written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else written += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

struct ExecutablePathState {
  std::mutex mutex;
  std::optional<std::string> path;
};

ExecutablePathState& executablePathState() {
  static ExecutablePathState* state = new ExecutablePathState();
  return *state;
}

// The standard printed form of a list of texts: ["a", "b"], each text as a string literal (quotes,
// apostrophes and backslashes escaped, control characters written as escapes).
std::string printedList(const std::vector<std::string>& items) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += '"';
    for (char c : items[i]) {
      const auto byte = static_cast<unsigned char>(c);
      switch (c) {
        case '"': out += "\\\""; break;
        case '\'': out += "\\'"; break;
        case '\\': out += "\\\\"; break;
        case '\0': out += "\\0"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            out += "\\u{";
            out += hex[byte >> 4];
            out += hex[byte & 15];
            out += '}';
          } else {
            out += c;
          }
      }
    }
    out += '"';
  }
  return out + "]";
}

// Backslashes first, then double quotes, so the literal reads back as the line.
std::string escapeForScriptLiteral(const std::string& line) {
  std::string out;
  out.reserve(line.size() + 8);
  for (char c : line) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool FenwixHelper::runRootCommands(const std::vector<std::string>& commands) {
  if (commands.empty()) return true;
  VRL_LOG_VERBOSE_AT(__FILE__, kRunRootCommandsFunction, __LINE__, printedList(commands));

  std::string joined;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (i) joined += " && ";
    joined += commands[i];
  }
  VRL_LOG_VERBOSE_AT(__FILE__, kRunRootCommandsFunction, __LINE__, "cmd: " << joined);

  const std::string source =
      "do shell script \"" + escapeForScriptLiteral(joined) + "\" with administrator privileges";
  std::shared_ptr<platform::AppleScript> script = platform::AppleScript::compile(source);
  if (!script) return false;

  platform::Dictionary errorInfo;
  std::shared_ptr<platform::AppleEventDescriptor> result = script->executeAndReturnError(&errorInfo);
  if (!errorInfo.empty()) {
    VRL_LOG_ERROR_AT(__FILE__, kRunRootCommandsFunction, __LINE__,
                     "FENWIX administrator command failed: " << platform::describeErrorInfo(errorInfo));
    return false;
  }
  return result != nullptr;
}

std::optional<std::string> FenwixHelper::executablePath() {
  ExecutablePathState& state = executablePathState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.path) {
    std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
    if (!bundle) {
      VRL_LOG_ERROR_AT(__FILE__, "executablePath", __LINE__,
                       "No main bundle: the FENWIX proxy executable cannot be found");
      return std::nullopt;
    }
    // A missing executable still gets its expected place, so the commands fail rather than run "''".
    state.path = bundle->pathForResource(serviceName, "").value_or(bundle->resourcePath() + "/" + serviceName);
  }
  return *state.path;
}

void FenwixHelper::resetExecutablePathForTesting() {
  ExecutablePathState& state = executablePathState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.path.reset();
}

std::string FenwixHelper::proxyCommandLine(const std::string& executablePath, const std::string& suffix) {
  return platform::shellQuote(executablePath) + suffix;
}

std::optional<std::string> FenwixHelper::proxyCommandLine(const std::string& suffix) {
  const std::optional<std::string> path = executablePath();
  if (!path) return std::nullopt;
  return proxyCommandLine(*path, suffix);
}

// ---- configuration ----

std::optional<std::string> FenwixHelper::makeDnsStamp(const std::string& url, const std::string& path) {
  std::string hostText = url;
  if (hostText.rfind(kHttpsPrefix, 0) == 0) hostText = removeAll(hostText, kHttpsPrefix);
  if (!hostText.empty() && hostText.back() == '/') hostText.pop_back();

  const std::string host = stampBytes(hostText);
  const std::string pathBytes = stampBytes(path);
  // A longer field cannot be counted in one byte; cutting it would make a stamp for another server.
  if (host.size() > kMaxFieldLength || pathBytes.size() > kMaxFieldLength) {
    VRL_LOG_ERROR_AT(__FILE__, "makeDnsStamp(url:path:)", __LINE__,
                     "DNS stamp skipped: host (" << host.size() << " bytes) or path (" << pathBytes.size()
                                                 << " bytes) is longer than " << kMaxFieldLength << " bytes");
    return std::nullopt;
  }

  std::string record;
  record += '\x02';                          // DNS-over-HTTPS
  record += std::string("\x07\0\0\0\0\0\0\0", 8);  // DNSSEC, no logs, no filter
  record += '\0';                            // no address
  record += '\0';                            // one empty certificate hash
  record += static_cast<char>(host.size());
  record += host;
  record += static_cast<char>(pathBytes.size());
  record += pathBytes;
  return "sdns://" + platform::base64URLEncode(record, false);
}

std::optional<std::string> FenwixHelper::configFilePath() {
  const std::optional<std::string> resources = resourceFolder("configFilePath");
  if (!resources) return std::nullopt;
  return *resources + "/" + kLiveConfigName + "." + kLiveConfigType;
}

void FenwixHelper::setUserIdProvider(UserIdProvider provider) {
  std::lock_guard<std::mutex> lock(hookMutex());
  userIdProviderHook() = std::move(provider);
}

void FenwixHelper::writeFenwixConfig() {
  // The settings are read in turn too: a writer that read older ones could otherwise replace a newer file.
  std::lock_guard<std::mutex> lock(configMutex());
  const std::vector<std::string> urls = VrlUserDefault::shared().fenwixDnsUrls();
  UserIdProvider provider;
  {
    std::lock_guard<std::mutex> hookLock(hookMutex());
    provider = userIdProviderHook();
  }
  std::vector<std::string> stamps;
  if (const std::optional<std::string> uid = provider ? provider() : signedInUserId()) {
    for (const std::string& url : urls)
      if (std::optional<std::string> stamp = makeDnsStamp(url, "/" + *uid)) stamps.push_back(std::move(*stamp));
  }
  if (stamps.empty()) return;
  const std::string& first = stamps[0];
  const std::string& second = stamps.size() > 1 ? stamps[1] : stamps[0];

  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
  const std::optional<std::string> live = configFilePath();
  if (!bundle || !live) {
    std::cout << kCannotWriteFile << std::endl;
    return;
  }
  std::string content;
  if (std::optional<std::string> base = bundle->pathForResource(kBaseConfigName, kBaseConfigType)) {
    std::optional<std::string> text = readWholeFile(*base);
    if (!text) {
      std::cout << kCannotWriteFile << std::endl;
      return;
    }
    content = std::move(*text);
  }
  content += "[static.'vorellin-primary']\n";
  content += "stamp = '" + first + "'\n";
  content += "[static.'vorellin-secondary']\n";
  content += "stamp = '" + second + "'\n";
  if (!replaceFileAtomically(*live, content)) std::cout << kCannotWriteFile << std::endl;
}

void FenwixHelper::deleteConfigFile() {
  {
    std::lock_guard<std::mutex> lock(configMutex());
    std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
    if (bundle) {
      if (std::optional<std::string> live = bundle->pathForResource(kLiveConfigName, kLiveConfigType))
        ::unlink(live->c_str());
    }
  }
  VRL_LOG_DEBUG_AT(__FILE__, "deleteConfigFile()", __LINE__, "delete FENWIX config");
}

// ---- supervision ----

std::atomic<bool> FenwixHelper::unavailableAlertShown{false};

bool FenwixHelper::checkFenwixService(bool forceRestart) {
  if (!allSwitchesOn()) return false;
  VRL_LOG_DEBUG_AT(__FILE__, kCheckServiceFunction, __LINE__, "checkFenwixService | fenwix ON");
  writeFenwixConfig();

  // Without the executable's place there is nothing to install or start.
  const std::optional<std::string> executable = executablePath();
  if (!executable) {
    fallBackFromFenwix();
    return false;
  }
  bool commandsOk = true;
  if (!fileExists(platform::systemPath(launchDaemonPlistPath))) {
    commandsOk = runRootCommands(
        {proxyCommandLine(*executable, kServiceInstall), proxyCommandLine(*executable, kServiceStart)});
  } else {
    VRL_LOG_DEBUG_AT(__FILE__, kCheckServiceFunction, __LINE__, "fenwix service is installed");
    const std::optional<long long> count = decimalInteger(trim(AppUtils::shellResult(kProcessCountCommand).output));
    const bool running = count && *count > 0;
    if (!running) {
      VRL_LOG_DEBUG_AT(__FILE__, kCheckServiceFunction, __LINE__, "fenwix service is not running");
      commandsOk = runRootCommands({proxyCommandLine(*executable, kServiceStart)});
    } else if (forceRestart) {
      VRL_LOG_DEBUG_AT(__FILE__, kCheckServiceFunction, __LINE__, "fenwix service force restart");
      commandsOk = runRootCommands({proxyCommandLine(*executable, kServiceRestart)});
    } else {
      VRL_LOG_DEBUG_AT(__FILE__, kCheckServiceFunction, __LINE__, "fenwix service is running. Do nothing");
    }
  }
  if (!commandsOk) {
    fallBackFromFenwix();
    return false;
  }
  switch (fenwixHealth()) {
    case Health::Answers:
      unavailableAlertShown = false;
      return true;
    case Health::SwitchedOff:
      // The user turned something off meanwhile: nothing to fall back from, nothing to tell.
      return false;
    case Health::Silent:
      break;
  }
  fallBackFromFenwix();
  return false;
}

bool FenwixHelper::checkFenwixHealth() { return fenwixHealth() == Health::Answers; }

FenwixHelper::Health FenwixHelper::fenwixHealth() {
  const std::string query = std::string("/usr/bin/dig @127.0.0.1 ") + kHealthTestDomain + " +time=1 +tries=1 +short";
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!allSwitchesOn()) return Health::SwitchedOff;
    const ShellResult answer = AppUtils::shellResult(query);
    if (answer.status == 0 && !trim(answer.output).empty()) return Health::Answers;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return Health::Silent;
}

void FenwixHelper::fallBackFromFenwix() {
  if (VrlUserDefault::shared().holdFenwixFallback()) {
    VRL_LOG_ERROR_AT(__FILE__, "fallBackFromFenwix()", __LINE__,
                     "Settings cannot be read: the encrypted-DNS option stays on in them until they read again, "
                     "while the DNS falls back");
  } else {
    const std::shared_ptr<platform::UserDefaults>& preferences = VrlUserDefault::shared().preferences;
    preferences->set(keys::kFenwixState, false);
    preferences->synchronize();
  }
  AppUtils::refreshPublicIp();
  bool shown = false;
  if (unavailableAlertShown.compare_exchange_strong(shown, true))
    platform::dispatch::Queue::main()->async([] { showFenwixUnavailableAlert(); });
}

void FenwixHelper::showFenwixUnavailableAlert() {
  platform::appkit::AlertPresenter::shared()->runModal(
      {kUnavailableMessage, kUnavailableInformative, platform::appkit::AlertStyle::Warning, {"OK"}});
}

}  // namespace vorellin
