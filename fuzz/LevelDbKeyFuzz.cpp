// Stored LevelDB keys: every table's decoder and DescribeKey over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "davedove/verorariv/local/leveldb_key.h"

using namespace davedove::verorariv::local;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string key(reinterpret_cast<const char*>(data), size);
  (void)DescribeKey(key);
  LevelDbMutationKey mutation;
  LevelDbDocumentMutationKey documentMutation;
  LevelDbMutationQueueKey queue;
  LevelDbTargetGlobalKey global;
  LevelDbTargetKey target;
  LevelDbQueryTargetKey queryTarget;
  LevelDbTargetDocumentKey targetDocument;
  LevelDbDocumentTargetKey documentTarget;
  LevelDbRemoteDocumentKey remote;
  LevelDbCollectionParentKey parent;
  // A key of one table never decodes as a key of another.
  int tables = mutation.Decode(key) + documentMutation.Decode(key) + queue.Decode(key) + global.Decode(key) +
               target.Decode(key) + queryTarget.Decode(key) + targetDocument.Decode(key) +
               documentTarget.Decode(key) + remote.Decode(key) + parent.Decode(key);
  if (tables > 1) __builtin_trap();
  return 0;
}
