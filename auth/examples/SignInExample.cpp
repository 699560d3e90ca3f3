// Signs in with e-mail and password and prints the user's uid and when its ID token expires.
//
//   dav_auth_sign_in_example --url http://127.0.0.1:8090 --email alice@example.com --password secret
//   dav_auth_sign_in_example --plist VariruService-Info.plist --email ... --password ...
//
// With --url both the identity and the secure-token service are looked for there (the local stand-in
// serves both). The password may also come from the environment variable VRL_AUTH_PASSWORD so that it
// does not show in the process list. The token itself is never printed.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVUser.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/URLRequest.h"

namespace {

constexpr const char kDefaultAppID[] = "1:123456789012:ios:0123456789abcdef";

int usage() {
  std::fprintf(stderr,
               "usage: dav_auth_sign_in_example (--url BASE_URL | --plist OPTIONS_PLIST) --email EMAIL "
               "[--password PASSWORD] [--api-key KEY]\n");
  return 2;
}

std::string isoTime(double secondsSince1970) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url, plist, email, apiKey = "local-api-key";
  std::string password = std::getenv("VRL_AUTH_PASSWORD") ? std::getenv("VRL_AUTH_PASSWORD") : "";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--url") url = value;
    else if (flag == "--plist") plist = value;
    else if (flag == "--email") email = value;
    else if (flag == "--password") password = value;
    else if (flag == "--api-key") apiKey = value;
    else return usage();
  }
  if ((url.empty() && plist.empty()) || email.empty() || argc % 2 == 0) return usage();

  std::shared_ptr<DAVOptions> options;
  if (!plist.empty()) {
    options = DAVOptions::initWithContentsOfFile(plist);
    if (!options) {
      std::fprintf(stderr, "cannot read the options in %s\n", plist.c_str());
      return 1;
    }
  } else {
    options = DAVOptions::initWithVariruAppID(kDefaultAppID, "123456789012");
    options->setAPIKey(apiKey);
  }
  if (!url.empty()) {
    auto dictionary = options->optionsDictionary();
    dictionary[kDAVIdentityServiceURL] = url;
    dictionary[kDAVSecureTokenServiceURL] = url;
    options->setOptionsDictionary(dictionary);
  }
  // The local stand-in speaks plain HTTP; the transport still refuses it for anything but loopback.
  if (options->namesPlainHTTPService()) {
    platform::net::setAllowsInsecureLoopbackHTTP(true);
  }

  DAVAuth::load();  // before configure, so the app gets its auth client
  try {
    DAVApp::configureWithOptions(options);
  } catch (const platform::Exception& e) {
    std::fprintf(stderr, "configure failed: %s\n", e.what());
    return 1;
  }
  auto auth = DAVAuth::auth();

  int status = -1;
  auth->signInWithEmail(email, password, [&status](std::shared_ptr<DAVAuthDataResult> result, platform::ErrorPtr error) {
    if (error || !result) {
      std::fprintf(stderr, "sign-in failed: %s (code %lld)\n", error ? error->localizedDescription().c_str() : "?",
                   error ? static_cast<long long>(error->code()) : 0LL);
      status = 1;
      return;
    }
    auto user = result->user();
    std::printf("uid: %s\n", user->uid().value_or("").c_str());
    user->getIDTokenResultWithCompletion([&status](std::shared_ptr<DAVAuthTokenResult> token, platform::ErrorPtr error) {
      if (error || !token) {
        std::fprintf(stderr, "no token: %s\n", error ? error->localizedDescription().c_str() : "?");
        status = 1;
        return;
      }
      const double expiry = token->expirationDate().secondsSince1970;
      const long long left = static_cast<long long>(expiry - static_cast<double>(std::time(nullptr)));
      std::printf("token expires: %s (in %lld s)\n", isoTime(expiry).c_str(), left);
      status = 0;
    });
  });
  if (!platform::dispatch::RunLoop::runUntil([&status] { return status >= 0; }, std::chrono::seconds(30))) {
    std::fprintf(stderr, "timed out\n");
    return 1;
  }
  return status;
}
