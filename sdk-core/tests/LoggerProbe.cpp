// Logs one debug line; the logger tests launch it with the SDK's launch-argument switches.
#include "sdk-core/DAVLogger.h"

int main() {
  DAVLogDebug(kDAVLoggerCore, "I-COR000999", "probe debug");
  return 0;
}
