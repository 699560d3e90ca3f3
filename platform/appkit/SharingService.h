// Sharing services. Only mail composing exists on this platform: the message opens in the desktop's
// mail program through a mailto: link when one handles mailto: and the message has no attachment;
// otherwise it is written, attachments included, as an .eml draft under the user's home, and an
// alert says where. Nothing is ever sent from here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/Responder.h"

namespace platform::appkit {

inline constexpr const char* kSharingServiceNameComposeEmail = "com.apple.share.Mail.compose";

// One item handed to a service: a text (the mail's body) or a file address (an attachment).
struct SharingItem {
  enum class Kind { Text, File };
  Kind kind = Kind::Text;
  std::string value;  // the text, or the file's path

  static SharingItem text(std::string text) { return {Kind::Text, std::move(text)}; }
  static SharingItem fileURL(std::string path) { return {Kind::File, std::move(path)}; }
  bool operator==(const SharingItem& o) const { return kind == o.kind && value == o.value; }
};

class SharingService : public Object {
 public:
  // The service of that name, or nullptr when the platform has none.
  static std::shared_ptr<SharingService> sharingServiceNamed(const std::string& name);
  std::string className() const override { return "NSSharingService"; }

  const std::vector<std::string>& recipients() const { return recipients_; }
  void setRecipients(std::vector<std::string> recipients) { recipients_ = std::move(recipients); }
  const std::string& subject() const { return subject_; }
  void setSubject(std::string subject) { subject_ = std::move(subject); }

  // Texts become the body, one line each in order; files become attachments.
  void performWithItems(const std::vector<SharingItem>& items);

  // Where drafts go: ~/Library/Mail Drafts.
  static std::string draftsDirectory();
  // The draft written by the last performWithItems of this process ("" when it opened a link).
  static std::string lastDraftPath();

  // The mailto: link of a message (recipients, subject and body percent-encoded).
  static std::string mailtoURL(const std::vector<std::string>& recipients, const std::string& subject,
                               const std::string& body);
  // The RFC 5322 message with its attachments (multipart/mixed when there are any), marked unsent so
  // mail programs open it as a draft. "" when an attachment cannot be read.
  static std::string emlMessage(const std::vector<std::string>& recipients, const std::string& subject,
                                const std::string& body, const std::vector<std::string>& attachments,
                                std::string* error = nullptr);

 private:
  std::vector<std::string> recipients_;
  std::string subject_;
};

}  // namespace platform::appkit
