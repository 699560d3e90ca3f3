#include "platform/applescript/AppleScript.h"

#include <cstring>

#include "platform/applescript/AdministratorApproval.h"
#include "platform/process/Process.h"

namespace platform {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Skips one keyword and the blanks after it; false when the keyword is not there.
bool consumeWord(const std::string& s, size_t& pos, const char* word) {
  size_t n = std::strlen(word);
  if (s.compare(pos, n, word) != 0) return false;
  pos += n;
  size_t start = pos;
  while (pos < s.size() && isSpace(s[pos])) ++pos;
  return pos > start || pos == s.size() || s[pos] == '"';
}

// Reads a string literal starting at the opening quote; false when unterminated or with an unknown escape.
bool readLiteral(const std::string& s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= s.size()) return false;
    switch (s[pos]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      default: return false;
    }
  }
  return false;
}

// The statement's own rendering of output: no trailing line feed, line feeds as carriage returns.
std::string asScriptText(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  for (char& c : text)
    if (c == '\n') c = '\r';
  return text;
}

void fillError(Dictionary* errorInfo, int64_t number, const std::string& message, size_t sourceLength) {
  if (!errorInfo) return;
  errorInfo->clear();
  (*errorInfo)[kAppleScriptErrorNumber] = Value(number);
  (*errorInfo)[kAppleScriptErrorMessage] = Value(message);
  (*errorInfo)[kAppleScriptErrorBriefMessage] = Value(message);
  (*errorInfo)[kAppleScriptErrorRange] = Value("NSRange: {0, " + std::to_string(sourceLength) + "}");
}

}  // namespace

std::shared_ptr<AppleScript> AppleScript::compile(const std::string& source) {
  std::string s = trim(source);
  size_t pos = 0;
  if (!consumeWord(s, pos, "do") || !consumeWord(s, pos, "shell") || !consumeWord(s, pos, "script")) return nullptr;
  std::string command;
  if (!readLiteral(s, pos, command)) return nullptr;
  std::string rest = trim(s.substr(pos));
  bool administrator = false;
  if (!rest.empty()) {
    size_t p = 0;
    if (!consumeWord(rest, p, "with") || !consumeWord(rest, p, "administrator") ||
        rest.compare(p, std::string::npos, "privileges") != 0)
      return nullptr;
    administrator = true;
  }
  return std::shared_ptr<AppleScript>(new AppleScript(source, std::move(command), administrator));
}

std::shared_ptr<AppleEventDescriptor> AppleScript::executeAndReturnError(Dictionary* errorInfo) const {
  if (administrator_) {
    std::string error;
    std::optional<AdministratorApproval::Policy> answer = AdministratorApproval::prompt(&error);
    if (!answer) {
      fillError(errorInfo, kAuthorizationInternalErrorNumber, "The authorization failed. " + error, source_.size());
      return nullptr;
    }
    if (*answer == AdministratorApproval::Policy::Cancel) {
      fillError(errorInfo, kUserCanceledErrorNumber, "User canceled.", source_.size());
      return nullptr;
    }
    if (*answer == AdministratorApproval::Policy::Deny) {
      fillError(errorInfo, kAuthorizationDeniedErrorNumber, "The administrator user name or password was incorrect.",
                source_.size());
      return nullptr;
    }
  }
  ShellCapture run = runShellCapturingErrors(command_);
  if (!run.failure.empty()) {
    fillError(errorInfo, -1, "The command could not be started: " + run.failure, source_.size());
    return nullptr;
  }
  if (run.status != 0) {
    std::string message = !run.errorOutput.empty() ? run.errorOutput : run.output;
    message = message.empty() ? "The command exited with a non-zero status." : asScriptText(message);
    fillError(errorInfo, run.status, message, source_.size());
    return nullptr;
  }
  if (errorInfo) errorInfo->clear();
  return std::make_shared<AppleEventDescriptor>(asScriptText(run.output));
}

std::string describeErrorInfo(const Dictionary& errorInfo) { return Value(errorInfo).description(); }

}  // namespace platform
