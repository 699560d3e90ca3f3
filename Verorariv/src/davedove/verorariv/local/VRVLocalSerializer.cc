#include "davedove/verorariv/local/VRVLocalSerializer.h"

#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_util.h"

namespace davedove {
namespace verorariv {
namespace local {

using model::DeletedDocumentPtr;
using model::DocumentPtr;
using model::DocumentState;
using model::MaybeDocumentPtr;
using model::MutationBatchPtr;
using model::MutationPtr;
using model::SnapshotVersion;
using model::UnknownDocumentPtr;
using model::VRVDeletedDocument;
using model::VRVDocument;
using model::VRVMaybeDocument;
using model::VRVMutationBatch;
using model::VRVUnknownDocument;
using remote::GPBTimestamp;
using remote::VCVDocument;

VRVLocalSerializer::VRVLocalSerializer(
    std::shared_ptr<const remote::VRVSerializerBeta> remoteSerializer)
    : remoteSerializer_(std::move(remoteSerializer)) {
  HARD_ASSERT(remoteSerializer_ != nullptr, "A local serializer needs a remote serializer");
}

VRVPBMaybeDocument VRVLocalSerializer::encodedMaybeDocument(
    const VRVMaybeDocument& document) const {
  VRVPBMaybeDocument proto;
  if (auto deleted = dynamic_cast<const VRVDeletedDocument*>(&document)) {
    *proto.mutable_no_document() = encodedDeletedDocument(*deleted);
    proto.set_has_committed_mutations(deleted->hasCommittedMutations());
  } else if (auto existing = dynamic_cast<const VRVDocument*>(&document)) {
    // A document read from the server is stored exactly as it came.
    if (existing->proto()) {
      *proto.mutable_document() = *existing->proto();
    } else {
      *proto.mutable_document() = encodedDocument(*existing);
    }
    proto.set_has_committed_mutations(existing->hasCommittedMutations());
  } else if (auto unknown = dynamic_cast<const VRVUnknownDocument*>(&document)) {
    *proto.mutable_unknown_document() = encodedUnknownDocument(*unknown);
    proto.set_has_committed_mutations(true);
  } else {
    HARD_FAIL("Unknown document type %s", util::ClassName(typeid(document)));
  }
  return proto;
}

MaybeDocumentPtr VRVLocalSerializer::decodedMaybeDocument(const VRVPBMaybeDocument& proto) const {
  switch (proto.document_type_case()) {
    case VRVPBMaybeDocument::kNoDocument:
      return decodedDeletedDocument(proto.no_document(), proto.has_committed_mutations());
    case VRVPBMaybeDocument::kDocument:
      return decodedDocument(proto.document(), proto.has_committed_mutations());
    case VRVPBMaybeDocument::kUnknownDocument:
      return decodedUnknownDocument(proto.unknown_document());
    default:
      HARD_FAIL("Unknown MaybeDocument %s", proto.ShortDebugString());
  }
}

VCVDocument VRVLocalSerializer::encodedDocument(const VRVDocument& document) const {
  VCVDocument proto;
  proto.set_name(remoteSerializer_->encodedDocumentKey(document.key()));
  *proto.mutable_fields() = remoteSerializer_->encodedFields(*document.data());
  *proto.mutable_update_time() = remoteSerializer_->encodedVersion(document.version());
  return proto;
}

DocumentPtr VRVLocalSerializer::decodedDocument(const VCVDocument& document,
                                                bool withCommittedMutations) const {
  model::ObjectValuePtr data = remoteSerializer_->decodedFields(document.fields());
  model::DocumentKey key = remoteSerializer_->decodedDocumentKey(document.name());
  SnapshotVersion version = remoteSerializer_->decodedVersion(document.update_time());
  DocumentState state =
      withCommittedMutations ? DocumentState::CommittedMutations : DocumentState::Synced;
  return VRVDocument::documentWithData(std::move(data), std::move(key), version, state);
}

VRVPBNoDocument VRVLocalSerializer::encodedDeletedDocument(
    const VRVDeletedDocument& document) const {
  VRVPBNoDocument proto;
  proto.set_name(remoteSerializer_->encodedDocumentKey(document.key()));
  *proto.mutable_read_time() = remoteSerializer_->encodedVersion(document.version());
  return proto;
}

DeletedDocumentPtr VRVLocalSerializer::decodedDeletedDocument(const VRVPBNoDocument& proto,
                                                              bool withCommittedMutations) const {
  model::DocumentKey key = remoteSerializer_->decodedDocumentKey(proto.name());
  SnapshotVersion version = remoteSerializer_->decodedVersion(proto.read_time());
  return VRVDeletedDocument::documentWithKey(std::move(key), version, withCommittedMutations);
}

VRVPBUnknownDocument VRVLocalSerializer::encodedUnknownDocument(
    const VRVUnknownDocument& document) const {
  VRVPBUnknownDocument proto;
  proto.set_name(remoteSerializer_->encodedDocumentKey(document.key()));
  *proto.mutable_version() = remoteSerializer_->encodedVersion(document.version());
  return proto;
}

UnknownDocumentPtr VRVLocalSerializer::decodedUnknownDocument(
    const VRVPBUnknownDocument& proto) const {
  model::DocumentKey key = remoteSerializer_->decodedDocumentKey(proto.name());
  SnapshotVersion version = remoteSerializer_->decodedVersion(proto.version());
  return VRVUnknownDocument::documentWithKey(std::move(key), version);
}

VRVPBWriteBatch VRVLocalSerializer::encodedMutationBatch(const VRVMutationBatch& batch) const {
  VRVPBWriteBatch proto;
  proto.set_batch_id(batch.batchID());
  // Seconds and nanoseconds are copied as they are, never through a floating-point date.
  *proto.mutable_local_write_time() =
      remoteSerializer_->encodedTimestamp(batch.localWriteTime().internalValue());
  for (const MutationPtr& mutation : batch.baseMutations()) {
    *proto.add_base_writes() = remoteSerializer_->encodedMutation(*mutation);
  }
  for (const MutationPtr& mutation : batch.mutations()) {
    *proto.add_writes() = remoteSerializer_->encodedMutation(*mutation);
  }
  return proto;
}

MutationBatchPtr VRVLocalSerializer::decodedMutationBatch(const VRVPBWriteBatch& batch) const {
  model::BatchId batchID = batch.batch_id();
  std::vector<MutationPtr> baseMutations;
  baseMutations.reserve(batch.base_writes_size());
  for (const auto& write : batch.base_writes()) {
    baseMutations.push_back(remoteSerializer_->decodedMutation(write));
  }
  std::vector<MutationPtr> mutations;
  mutations.reserve(batch.writes_size());
  for (const auto& write : batch.writes()) {
    mutations.push_back(remoteSerializer_->decodedMutation(write));
  }
  Timestamp localWriteTime = remoteSerializer_->decodedTimestamp(batch.local_write_time());
  return std::make_shared<const VRVMutationBatch>(
      batchID,
      DAVTimestamp::timestampWithSeconds(localWriteTime.seconds(), localWriteTime.nanoseconds()),
      std::move(baseMutations), std::move(mutations));
}

VRVPBTarget VRVLocalSerializer::encodedQueryData(const VRVQueryData& queryData) const {
  if (queryData.purpose() != VRVQueryPurposeListen) {
    util::internal::Fail(__FILE__, __PRETTY_FUNCTION__, __LINE__,
                         util::StringFormat("only queries with purpose %s may be stored, got %s",
                                            static_cast<int64_t>(VRVQueryPurposeListen),
                                            static_cast<int64_t>(queryData.purpose())),
                         "queryData.purpose == VRVQueryPurposeListen");
  }
  VRVPBTarget proto;
  proto.set_target_id(queryData.targetID());
  proto.set_last_listen_sequence_number(queryData.sequenceNumber());
  *proto.mutable_snapshot_version() = encodedVersion(queryData.snapshotVersion());
  proto.set_resume_token(queryData.resumeToken());

  const core::VRVQuery& query = *queryData.query();
  if (query.isDocumentQuery()) {
    *proto.mutable_documents() = remoteSerializer_->encodedDocumentsTarget(query);
  } else {
    *proto.mutable_query() = remoteSerializer_->encodedQueryTarget(query);
  }
  return proto;
}

QueryDataPtr VRVLocalSerializer::decodedQueryData(const VRVPBTarget& target) const {
  TargetId targetID = target.target_id();
  model::ListenSequenceNumber sequenceNumber = target.last_listen_sequence_number();
  SnapshotVersion version = decodedVersion(target.snapshot_version());
  const std::string& resumeToken = target.resume_token();

  core::QueryPtr query;
  switch (target.target_type_case()) {
    case VRVPBTarget::kQuery:
      query = remoteSerializer_->decodedQueryFromQueryTarget(target.query());
      break;
    case VRVPBTarget::kDocuments:
      query = remoteSerializer_->decodedQueryFromDocumentsTarget(target.documents());
      break;
    default:
      HARD_FAIL("Unknown Target.targetType %s", static_cast<int>(target.target_type_case()));
  }
  return std::make_shared<const VRVQueryData>(std::move(query), targetID, sequenceNumber,
                                              VRVQueryPurposeListen, version, resumeToken);
}

GPBTimestamp VRVLocalSerializer::encodedVersion(const SnapshotVersion& version) const {
  return remoteSerializer_->encodedVersion(version);
}

SnapshotVersion VRVLocalSerializer::decodedVersion(const GPBTimestamp& version) const {
  return remoteSerializer_->decodedVersion(version);
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
