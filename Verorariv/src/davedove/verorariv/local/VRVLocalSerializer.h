#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVLOCALSERIALIZER_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVLOCALSERIALIZER_H_

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"
#include "verorariv/client/maybe_document.pb.h"
#include "verorariv/client/mutation.pb.h"
#include "verorariv/client/target.pb.h"

namespace davedove {
namespace verorariv {
namespace local {

// The stored messages under the names their callers use.
using VRVPBNoDocument = ::verorariv::client::NoDocument;
using VRVPBUnknownDocument = ::verorariv::client::UnknownDocument;
using VRVPBMaybeDocument = ::verorariv::client::MaybeDocument;
using VRVPBMutationQueue = ::verorariv::client::MutationQueue;
using VRVPBWriteBatch = ::verorariv::client::WriteBatch;
using VRVPBTarget = ::verorariv::client::Target;
using VRVPBTargetGlobal = ::verorariv::client::TargetGlobal;

// Turns the model objects the local store keeps (documents, mutation batches, targets) into the
// stored messages and back. Every embedded wire message is made and read by the wire serializer,
// so stored documents, writes and targets have exactly the wire form. Stateless apart from the
// wire serializer.
class VRVLocalSerializer {
 public:
  explicit VRVLocalSerializer(std::shared_ptr<const remote::VRVSerializerBeta> remoteSerializer);

  const std::shared_ptr<const remote::VRVSerializerBeta>& remoteSerializer() const {
    return remoteSerializer_;
  }

  VRVPBMaybeDocument encodedMaybeDocument(const model::VRVMaybeDocument& document) const;
  model::MaybeDocumentPtr decodedMaybeDocument(const VRVPBMaybeDocument& proto) const;

  remote::VCVDocument encodedDocument(const model::VRVDocument& document) const;
  model::DocumentPtr decodedDocument(const remote::VCVDocument& document,
                                     bool withCommittedMutations) const;

  VRVPBNoDocument encodedDeletedDocument(const model::VRVDeletedDocument& document) const;
  model::DeletedDocumentPtr decodedDeletedDocument(const VRVPBNoDocument& proto,
                                                   bool withCommittedMutations) const;

  VRVPBUnknownDocument encodedUnknownDocument(const model::VRVUnknownDocument& document) const;
  model::UnknownDocumentPtr decodedUnknownDocument(const VRVPBUnknownDocument& proto) const;

  VRVPBWriteBatch encodedMutationBatch(const model::VRVMutationBatch& batch) const;
  model::MutationBatchPtr decodedMutationBatch(const VRVPBWriteBatch& batch) const;

  // As the decoders above, for stored bytes that may not be what this database wrote (another
  // build, another database, damage): a data-loss status says why a message does not decode,
  // where the decoders above would stop the process.
  util::StatusOr<model::MaybeDocumentPtr> decodeMaybeDocument(const VRVPBMaybeDocument& proto) const;
  util::StatusOr<model::MutationBatchPtr> decodeMutationBatch(const VRVPBWriteBatch& batch) const;

  // Top-level fields of a stored document as (name, wire bytes of the value), views into the
  // stored bytes.
  using StoredFields = std::vector<std::pair<absl::string_view, absl::string_view>>;
  // The fields named in `names` of the existing document stored as `encoded` (the bytes of a
  // VRVPBMaybeDocument), found without parsing anything else. False when the bytes hold no
  // existing document or cannot be read this way; decodeMaybeDocument then says why.
  bool findStoredFields(absl::string_view encoded, const std::vector<std::string>& names,
                        StoredFields* found) const;
  // Those fields as an object; none when a value does not decode.
  std::optional<model::ObjectValuePtr> decodedStoredFields(const StoredFields& fields) const;

  // Only targets of purpose listen may be stored.
  VRVPBTarget encodedQueryData(const VRVQueryData& queryData) const;
  // Always of purpose listen.
  QueryDataPtr decodedQueryData(const VRVPBTarget& target) const;

  remote::GPBTimestamp encodedVersion(const model::SnapshotVersion& version) const;
  model::SnapshotVersion decodedVersion(const remote::GPBTimestamp& version) const;

 private:
  std::shared_ptr<const remote::VRVSerializerBeta> remoteSerializer_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVLOCALSERIALIZER_H_
