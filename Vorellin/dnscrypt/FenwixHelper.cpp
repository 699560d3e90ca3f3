#include "Vorellin/dnscrypt/FenwixHelper.h"

#include "platform/applescript/AppleScript.h"
#include "platform/foundation/Bundle.h"
#include "platform/logging/Log.h"
#include "platform/process/Process.h"

namespace vorellin {
namespace {

constexpr const char* kRunRootCommandsFunction = "runRootCommands(commands:)";

// The printed form of a list of texts: ["a", "b"], with quotes and backslashes inside escaped.
std::string printedList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += '"';
    for (char c : items[i]) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
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

const std::string& FenwixHelper::executablePath() {
  static const std::string path = [] {
    std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
    if (!bundle) return std::string("VRLFenwixService");
    // A missing executable still gets its expected place, so the commands fail rather than run "''".
    return bundle->pathForResource("VRLFenwixService", "").value_or(bundle->resourcePath() + "/VRLFenwixService");
  }();
  return path;
}

std::string FenwixHelper::proxyCommandLine(const std::string& executablePath, const std::string& suffix) {
  return platform::shellQuote(executablePath) + suffix;
}

}  // namespace vorellin
