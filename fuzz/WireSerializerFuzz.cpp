// The wire serializer's decoding of what the backend sends: documents, writes and targets. The first
// byte picks the message.
#include <cstddef>
#include <cstdint>

#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "fuzz/HardAssertion.h"

using namespace davedove::verorariv;
using namespace davedove::verorariv::remote;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto* serializer = new VRVSerializerBeta(model::DatabaseId("p", "(default)"));
  if (size == 0) return 0;
  const int kind = data[0] % 4;
  const void* bytes = data + 1;
  const int length = static_cast<int>(size - 1);
  try {
    if (kind == 0) {
      VCVDocument proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      (void)serializer->decodedDocumentKey(proto.name());
      if (auto fields = serializer->decodedFields(proto.fields())) (void)serializer->encodedFields(*fields);
      (void)serializer->decodedVersion(proto.update_time());
    } else if (kind == 1) {
      VCVWrite proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      if (auto mutation = serializer->decodedMutation(proto)) (void)serializer->encodedMutation(*mutation);
    } else if (kind == 2) {
      VCVTarget_QueryTarget proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      if (auto query = serializer->decodedQueryFromQueryTarget(proto)) (void)serializer->encodedQueryTarget(*query);
    } else {
      VCVTarget_DocumentsTarget proto;
      if (!proto.ParseFromArray(bytes, length)) return 0;
      if (auto query = serializer->decodedQueryFromDocumentsTarget(proto))
        (void)serializer->encodedDocumentsTarget(*query);
    }
  } catch (const fuzz::HardAssertion&) {
  }
  return 0;
}
