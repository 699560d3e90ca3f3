// Sharing services; the one used is composing an e-mail in the user's mail program (xdg-email).
// Items are texts, which become the body (one per line), and file URLs, which become attachments.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Responder.h"

namespace platform::appkit {

inline constexpr const char* kSharingServiceNameComposeEmail = "com.apple.share.Mail.compose";

class SharingService : public Object {
 public:
  struct Message {
    std::vector<std::string> recipients;
    std::string subject;
    std::string body;
    std::vector<std::string> attachments;  // local paths
  };
  using Composer = std::function<bool(const Message&)>;

  // nullptr for an unknown name, or when no mail program can be started.
  static std::shared_ptr<SharingService> sharingServiceNamed(const std::string& name);
  std::string className() const override { return "NSSharingService"; }

  const std::vector<std::string>& recipients() const { return recipients_; }
  void setRecipients(std::vector<std::string> recipients) { recipients_ = std::move(recipients); }
  const std::string& subject() const { return subject_; }
  void setSubject(std::string subject) { subject_ = std::move(subject); }

  // Hands the message to the mail program; false when it could not be started.
  bool performWithItems(const std::vector<std::string>& items);

  // Tests: a composer in place of the mail program (nullptr restores it), and whether one is there
  // at all (nullopt: look for the mail program).
  static void setComposerForTesting(Composer composer);
  static void setAvailableForTesting(std::optional<bool> available);

 private:
  std::vector<std::string> recipients_;
  std::string subject_;
};

}  // namespace platform::appkit
