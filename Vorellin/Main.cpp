#include "Vorellin/Main.h"

#include "Vorellin/AppUtils.h"
#include "platform/logging/Log.h"

namespace vorellin {

void Main::Service(const std::string& command) {
  // Runs whatever the log level: the output is only the trace.
  const std::string output = AppUtils::shellResult(AppUtils::serviceCommand(command)).output;
  VRL_LOG_VERBOSE_AT(__FILE__, "Service(command:)", __LINE__, output);
}

}  // namespace vorellin
