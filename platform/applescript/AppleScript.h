#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// Keys and numbers of the error dictionary that executeAndReturnError fills.
inline constexpr const char* kAppleScriptErrorMessage = "NSAppleScriptErrorMessage";
inline constexpr const char* kAppleScriptErrorBriefMessage = "NSAppleScriptErrorBriefMessage";
inline constexpr const char* kAppleScriptErrorNumber = "NSAppleScriptErrorNumber";
inline constexpr const char* kAppleScriptErrorRange = "NSAppleScriptErrorRange";
inline constexpr int64_t kUserCanceledErrorNumber = -128;            // "User canceled."
inline constexpr int64_t kAuthorizationDeniedErrorNumber = -60005;   // the administrator refused
inline constexpr int64_t kAuthorizationInternalErrorNumber = -60008; // the prompt could not be shown

// Result of a script: the text it returned.
class AppleEventDescriptor {
 public:
  explicit AppleEventDescriptor(std::string text) : text_(std::move(text)) {}
  const std::string& stringValue() const { return text_; }

 private:
  std::string text_;
};

// In-process script runner of the simulated Mac. It understands the one statement the application uses,
//   do shell script "<string literal>" [with administrator privileges]
// and runs the unescaped line through /bin/sh as the current user (nothing is elevated here). With
// administrator privileges, every execution first asks AdministratorApproval once.
class AppleScript {
 public:
  // nullptr when the source does not compile (anything but the statement above, a bad string literal).
  static std::shared_ptr<AppleScript> compile(const std::string& source);

  const std::string& source() const { return source_; }
  const std::string& shellCommand() const { return command_; }  // the literal, unescaped
  bool withAdministratorPrivileges() const { return administrator_; }

  // The shell's standard output (trailing line feed dropped, line feeds written as carriage returns, as the
  // statement returns it) on success. On failure nullptr, and *errorInfo (when given) holds the error
  // dictionary: a cancelled prompt gives number -128 "User canceled.", a refused one -60005, a failing line
  // its exit status and its error output.
  std::shared_ptr<AppleEventDescriptor> executeAndReturnError(Dictionary* errorInfo) const;

 private:
  AppleScript(std::string source, std::string command, bool administrator)
      : source_(std::move(source)), command_(std::move(command)), administrator_(administrator) {}

  std::string source_;
  std::string command_;
  bool administrator_;
};

// Printed form of an error dictionary, as it goes into a log line.
std::string describeErrorInfo(const Dictionary& errorInfo);

}  // namespace platform
