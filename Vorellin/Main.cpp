#include "Vorellin/Main.h"

#include "Vorellin/AppUtils.h"
#include "platform/logging/Log.h"

namespace vorellin {

void Main::Service(const std::string& command) {
  VRL_LOG_VERBOSE_AT(__FILE__, "Service(command:)", __LINE__,
                     AppUtils::shellResult(AppUtils::serviceCommand(command)).output);
}

}  // namespace vorellin
