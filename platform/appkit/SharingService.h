// Sharing services; the one used is composing an e-mail. Items are texts, which become the body (one
// per line), and file URLs, which become attachments. Nothing is ever sent from here: a message
// without attachments opens in the desktop's mail program through a mailto: link when one handles
// mailto:; any other message is written, attachments included, as an .eml draft under the user's
// home, and an alert says where.
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

  // nullptr for an unknown name.
  static std::shared_ptr<SharingService> sharingServiceNamed(const std::string& name);
  std::string className() const override { return "NSSharingService"; }

  const std::vector<std::string>& recipients() const { return recipients_; }
  void setRecipients(std::vector<std::string> recipients) { recipients_ = std::move(recipients); }
  const std::string& subject() const { return subject_; }
  void setSubject(std::string subject) { subject_ = std::move(subject); }

  // Hands the message on (link or draft); false when neither could be done.
  bool performWithItems(const std::vector<std::string>& items);

  // The file URL of a local path, as an item for an attachment.
  static std::string fileURLWithPath(const std::string& path);

  // Where drafts go: ~/Library/Mail Drafts.
  static std::string draftsDirectory();
  // The draft written by the last message of this process ("" when it went out as a link).
  static std::string lastDraftPath();

  // The mailto: link of a message (recipients, subject and body percent-encoded).
  static std::string mailtoURL(const Message& message);
  // The RFC 5322 message with its attachments (multipart/mixed when there are any), marked unsent so
  // mail programs open it as a draft. "" when an attachment cannot be read.
  static std::string emlMessage(const Message& message, std::string* error = nullptr);

  // Tests: a composer in place of the link and the draft (nullptr restores them), and whether the
  // service is there at all (nullopt: it always is).
  static void setComposerForTesting(Composer composer);
  static void setAvailableForTesting(std::optional<bool> available);

 private:
  std::vector<std::string> recipients_;
  std::string subject_;
};

}  // namespace platform::appkit
