#include "platform/foundation/Error.h"

#include <sstream>

namespace platform {

Error::Error(std::string domain, int64_t code, Dictionary userInfo, std::shared_ptr<const Error> underlying)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)), underlying_(std::move(underlying)) {
  // An underlying error given only through user info becomes the underlying error too.
  if (!underlying_) {
    auto it = userInfo_.find(kUnderlyingErrorKey);
    if (it != userInfo_.end())
      if (auto obj = std::dynamic_pointer_cast<const ErrorObject>(it->second.asObject())) underlying_ = obj->error;
  } else if (userInfo_.find(kUnderlyingErrorKey) == userInfo_.end()) {
    userInfo_[kUnderlyingErrorKey] = Value(std::shared_ptr<const Object>(std::make_shared<ErrorObject>(underlying_)));
  }
}

std::string Error::localizedDescription() const {
  auto it = userInfo_.find(kLocalizedDescriptionKey);
  if (it != userInfo_.end())
    if (const std::string* s = it->second.asString()) return *s;
  return "The operation couldn't be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::string Error::localizedFailureReason() const {
  auto it = userInfo_.find(kLocalizedFailureReasonKey);
  if (it != userInfo_.end())
    if (const std::string* s = it->second.asString()) return *s;
  return {};
}

std::string Error::description() const {
  std::ostringstream out;
  out << "Error Domain=" << domain_ << " Code=" << code_ << " \"" << localizedDescription() << "\"";
  if (!userInfo_.empty()) {
    out << " UserInfo={";
    bool first = true;
    for (const auto& [k, v] : userInfo_) {
      if (!first) out << ", ";
      first = false;
      out << k << "=";
      if (const std::string* s = v.asString())
        out << *s;
      else
        out << v.description();
    }
    out << "}";
  }
  return out.str();
}

std::string ErrorObject::description() const { return error ? error->description() : "<nil error>"; }

ErrorPtr makeError(const std::string& domain, int64_t code, const std::string& localizedDescription,
                   Dictionary userInfo, ErrorPtr underlying) {
  if (!localizedDescription.empty()) userInfo[kLocalizedDescriptionKey] = localizedDescription;
  return std::make_shared<const Error>(domain, code, std::move(userInfo), std::move(underlying));
}

}  // namespace platform
