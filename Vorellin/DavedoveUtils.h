// The application's writes to the cloud and its one-off look-ups: the public address registered in
// the user's custom-block-list document, the block mode merged into it, and the user's profile.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class DAVDocumentSnapshot;
class DAVValue;

namespace platform {
class Error;
}

namespace vorellin {

using DocumentCallback =
    std::function<void(std::shared_ptr<DAVDocumentSnapshot> document, std::shared_ptr<const platform::Error> error)>;

class DavedoveUtils {
 public:
  // Adds ip to the user's "latestIpAddress" and withdraws "previousIp" in one batch; asynchronous.
  static void updateCurrentIp(const std::string& ip);
  // Merges "blockMode", "userId" and (while the custom block list's plain resolvers protect) the
  // addresses into the user's custom-block-list document; the outcome is not awaited.
  static void saveBlockMode(const std::vector<std::string>& ips);
  // The signed-in user's document of "users", once; never called back without a signed-in user.
  static void getUserInfoOnce(DocumentCallback callback);
  // The uid of the signed-in user; nullopt while nobody is signed in.
  static std::optional<std::string> signedInUid();
  // Completion of the main window's read of the custom-block-list document: switches the custom block
  // list on through switchOn(true) when the document exists, else tells the user why not.
  static void onCustomBlacklistDocument(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                                        const std::shared_ptr<const platform::Error>& error,
                                        const std::function<void(bool)>& switchOn);

  static constexpr const char* kNoCustomBlacklistMessage = "Please turn on custom blacklist on the Android app first.";
};

// Reading cloud values that other clients wrote, which may be of any type.
namespace cloudvalue {
// The texts of an array whose elements are all texts; nullopt for anything else.
std::optional<std::vector<std::string>> textList(const DAVValue* value);
// The addresses of a list that are IPv4 or IPv6 addresses; the others are reported through dropped.
std::vector<std::string> validAddresses(const std::vector<std::string>& list, std::vector<std::string>* dropped);
// The texts that are plain https URLs (no white space, quotes, backticks, dollars or backslashes).
std::vector<std::string> validHttpsUrls(const std::vector<std::string>& list, std::vector<std::string>* dropped);
// A "blockMode" value that names one of the three modes; nullopt for anything else.
std::optional<int64_t> blockMode(const std::optional<DAVValue>& value);
}  // namespace cloudvalue

}  // namespace vorellin
