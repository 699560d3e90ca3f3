// The account's creation and last sign-in dates; archived inside the persisted user.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

class DAVUserMetadata : public platform::Object, public platform::Coding {
 public:
  static constexpr const char* kArchiveClassName = "DAVUserMetadata";

  DAVUserMetadata(std::optional<platform::Date> creationDate, std::optional<platform::Date> lastSignInDate)
      : lastSignInDate_(lastSignInDate), creationDate_(creationDate) {}

  const std::optional<platform::Date>& lastSignInDate() const { return lastSignInDate_; }
  const std::optional<platform::Date>& creationDate() const { return creationDate_; }

  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeDate("creationDate", creationDate_);
    coder.encodeDate("lastSignInDate", lastSignInDate_);
  }
  static std::shared_ptr<DAVUserMetadata> initWithCoder(platform::KeyedUnarchiver& coder) {
    return std::make_shared<DAVUserMetadata>(coder.decodeDate("creationDate"), coder.decodeDate("lastSignInDate"));
  }

 private:
  const std::optional<platform::Date> lastSignInDate_;
  const std::optional<platform::Date> creationDate_;
};
