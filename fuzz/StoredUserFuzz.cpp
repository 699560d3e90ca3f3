// The stored user as the keychain gives it back: keyed-archive unarchiving of a signed-in user.
#include <cstddef>
#include <cstdint>
#include <string>

#include "auth/DAVUser.h"
#include "platform/foundation/KeyedArchiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const platform::Data bytes(reinterpret_cast<const char*>(data), size);
  std::string reason;
  auto coder = platform::KeyedUnarchiver::create(bytes, &reason);
  if (!coder) return 0;
  // The key the default app stores its user under, and the root key of any archive.
  for (const char* key : {"__DAVAPP_DEFAULT_davedove_user", "root"}) {
    if (auto user = coder->decodeObjectOfClass<DAVUser>(key)) (void)user->description();
  }
  (void)coder->error();
  return 0;
}
