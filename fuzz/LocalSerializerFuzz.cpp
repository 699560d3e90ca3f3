// Stored messages as they would come out of a damaged or foreign store: documents (all three kinds),
// write batches and targets through the local serializer, and the queue and target bookkeeping rows.
// The first byte picks the kind.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "fuzz/HardAssertion.h"

using namespace davedove::verorariv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto* serializer = new local::VRVLocalSerializer(
      std::make_shared<const remote::VRVSerializerBeta>(model::DatabaseId("p", "(default)")));
  if (size == 0) return 0;
  const int kind = data[0] % 5;
  const void* bytes = data + 1;
  const int length = static_cast<int>(size - 1);
  try {
    if (kind == 0) {
      local::VRVPBMaybeDocument proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      if (auto document = serializer->decodedMaybeDocument(proto)) (void)serializer->encodedMaybeDocument(*document);
    } else if (kind == 1) {
      local::VRVPBWriteBatch proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      if (auto batch = serializer->decodedMutationBatch(proto)) (void)serializer->encodedMutationBatch(*batch);
    } else if (kind == 3) {
      local::VRVPBMutationQueue proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      (void)proto.last_acknowledged_batch_id();
      (void)proto.last_stream_token().size();
    } else if (kind == 4) {
      local::VRVPBTargetGlobal proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      (void)serializer->decodedVersion(proto.last_remote_snapshot_version());
    } else {
      local::VRVPBTarget proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      if (auto target = serializer->decodedQueryData(proto)) (void)serializer->encodedQueryData(*target);
    }
  } catch (const fuzz::HardAssertion&) {
  }
  return 0;
}
