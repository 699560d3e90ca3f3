#include "davedove/verorariv/local/VRVLocalSerializer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "absl/strings/str_split.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"
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


namespace {

using util::Status;
using util::StringFormat;

Status Undecodable(const std::string& reason) {
  return Status(VerorarivErrorCode::DataLoss, reason);
}

// What the wire serializer and the model refuse, checked up front so that stored bytes never reach
// one of their assertions.

Status CheckTimestamp(const GPBTimestamp& timestamp) {
  // From 0001-01-01 up to, not including, 10000-01-01.
  if (timestamp.nanos() < 0 || timestamp.nanos() >= 1000000000 ||
      timestamp.seconds() < -62135596800LL || timestamp.seconds() >= 253402300800LL) {
    return Undecodable(StringFormat("timestamp out of range (%s s, %s ns)", timestamp.seconds(),
                                    timestamp.nanos()));
  }
  return Status::OK();
}

// A document name: projects/<p>/databases/<d>/documents/<even number of segments>. With
// `database`, the name must belong to it.
Status CheckDocumentName(const std::string& name, const model::DatabaseId* database) {
  if (name.find("//") != std::string::npos) {
    return Undecodable(StringFormat("invalid document name \"%s\"", name));
  }
  std::vector<absl::string_view> path = absl::StrSplit(name, '/', absl::SkipEmpty());
  if (path.size() < 5 || path[0] != "projects" || path[2] != "databases" ||
      path[4] != "documents" || (path.size() - 5) % 2 != 0 || path.size() == 5) {
    return Undecodable(StringFormat("invalid document name \"%s\"", name));
  }
  if (database != nullptr &&
      (path[1] != database->project_id() || path[3] != database->database_id())) {
    return Undecodable(StringFormat("document name \"%s\" belongs to another database", name));
  }
  return Status::OK();
}

// A field path in the server's form: dot-separated segments, none empty, backquotes around
// segments that hold dots, backslash escapes.
Status CheckFieldPath(absl::string_view path) {
  bool valid = true;
  bool insideBackticks = false;
  size_t segmentLength = 0;
  for (size_t i = 0; i < path.size() && path[i] != '\0'; ++i) {
    switch (path[i]) {
      case '\\':
        if (i + 1 == path.size()) {
          valid = false;
        } else {
          ++i;
          ++segmentLength;
        }
        break;
      case '`':
        insideBackticks = !insideBackticks;
        break;
      case '.':
        if (insideBackticks) {
          ++segmentLength;
        } else {
          if (segmentLength == 0) valid = false;
          segmentLength = 0;
        }
        break;
      default:
        ++segmentLength;
    }
  }
  if (segmentLength == 0 || insideBackticks) valid = false;
  return valid ? Status::OK() : Undecodable(StringFormat("invalid field path \"%s\"", path));
}

Status CheckValue(const remote::VCVValue& value);

Status CheckFields(const remote::VCVFieldMap& fields) {
  for (const auto& entry : fields) {
    Status status = CheckValue(entry.second);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

Status CheckArray(const remote::VCVArrayValue& array) {
  for (const remote::VCVValue& element : array.values()) {
    Status status = CheckValue(element);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

Status CheckValue(const remote::VCVValue& value) {
  switch (value.value_type_case()) {
    case remote::VCVValue::kTimestampValue:
      return CheckTimestamp(value.timestamp_value());
    case remote::VCVValue::kReferenceValue:
      // A reference may name any database.
      return CheckDocumentName(value.reference_value(), nullptr);
    case remote::VCVValue::kArrayValue:
      return CheckArray(value.array_value());
    case remote::VCVValue::kMapValue:
      return CheckFields(value.map_value().fields());
    case remote::VCVValue::VALUE_TYPE_NOT_SET:
      return Undecodable("a value of unknown type");
    default:
      return Status::OK();
  }
}

Status CheckFieldTransform(const remote::VCVDocumentTransform_FieldTransform& transform) {
  Status status = CheckFieldPath(transform.field_path());
  if (!status.ok()) return status;
  using Transform = remote::VCVDocumentTransform_FieldTransform;
  switch (transform.transform_type_case()) {
    case Transform::kSetToServerValue:
      if (transform.set_to_server_value() != Transform::REQUEST_TIME) {
        return Undecodable("an unknown server value");
      }
      return Status::OK();
    case Transform::kAppendMissingElements:
      return CheckArray(transform.append_missing_elements());
    case Transform::kRemoveAllFromArray:
      return CheckArray(transform.remove_all_from_array());
    case Transform::kIncrement: {
      auto type = transform.increment().value_type_case();
      if (type != remote::VCVValue::kIntegerValue && type != remote::VCVValue::kDoubleValue) {
        return Undecodable("an increment by something other than a number");
      }
      return Status::OK();
    }
    case Transform::TRANSFORM_TYPE_NOT_SET:
      break;
  }
  return Undecodable("a field transform of unknown type");
}

Status CheckWrite(const remote::VCVWrite& write, const model::DatabaseId& database) {
  if (write.has_current_document() && write.current_document().has_update_time()) {
    Status status = CheckTimestamp(write.current_document().update_time());
    if (!status.ok()) return status;
  }
  switch (write.operation_case()) {
    case remote::VCVWrite::kUpdate: {
      Status status = CheckDocumentName(write.update().name(), &database);
      status.Update(CheckFields(write.update().fields()));
      if (write.has_update_mask()) {
        for (const std::string& path : write.update_mask().field_paths()) {
          status.Update(CheckFieldPath(path));
        }
      }
      return status;
    }
    case remote::VCVWrite::kDelete:
      return CheckDocumentName(write.delete_(), &database);
    case remote::VCVWrite::kTransform: {
      // A transform only ever applies to an existing document.
      if (!write.has_current_document() ||
          write.current_document().condition_type_case() !=
              remote::VCVPrecondition::kExists ||
          !write.current_document().exists()) {
        return Undecodable("a transform without the precondition that the document exists");
      }
      Status status = CheckDocumentName(write.transform().document(), &database);
      for (const auto& transform : write.transform().field_transforms()) {
        status.Update(CheckFieldTransform(transform));
      }
      return status;
    }
    case remote::VCVWrite::OPERATION_NOT_SET:
      break;
  }
  return Undecodable("a write of unknown operation");
}


// Reads protocol-buffer wire bytes field by field, for the few places that want one field of a
// stored message without parsing the rest. Every read fails on truncated or malformed input.
class WireReader {
 public:
  explicit WireReader(absl::string_view bytes)
      : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool done() const { return next_ == end_; }

  bool ReadTag(uint32_t* field, uint32_t* wireType) {
    uint64_t tag = 0;
    if (!ReadVarint(&tag) || tag > UINT32_MAX) return false;
    *field = static_cast<uint32_t>(tag >> 3);
    *wireType = static_cast<uint32_t>(tag & 7);
    return *field != 0;
  }

  bool ReadLengthDelimited(absl::string_view* bytes) {
    uint64_t length = 0;
    if (!ReadVarint(&length) || length > static_cast<uint64_t>(end_ - next_)) return false;
    *bytes = absl::string_view(next_, static_cast<size_t>(length));
    next_ += length;
    return true;
  }

  bool ReadVarint(uint64_t* value) {
    uint64_t result = 0;
    for (int shift = 0; shift < 64 && next_ != end_; shift += 7) {
      uint8_t byte = static_cast<uint8_t>(*next_++);
      result |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) {
        *value = result;
        return true;
      }
    }
    return false;
  }

  // Little-endian, as the wire has it.
  bool ReadFixed64(uint64_t* value) {
    if (end_ - next_ < 8) return false;
    uint64_t result = 0;
    for (int i = 7; i >= 0; --i) result = (result << 8) | static_cast<uint8_t>(next_[i]);
    next_ += 8;
    *value = result;
    return true;
  }

  bool Skip(uint32_t wireType) {
    uint64_t ignored = 0;
    absl::string_view skipped;
    switch (wireType) {
      case 0:
        return ReadVarint(&ignored);
      case 1:
        return Advance(8);
      case 2:
        return ReadLengthDelimited(&skipped);
      case 5:
        return Advance(4);
      default:
        return false;
    }
  }

 private:
  bool Advance(size_t count) {
    if (count > static_cast<size_t>(end_ - next_)) return false;
    next_ += count;
    return true;
  }

  const char* next_;
  const char* end_;
};

// Wire field numbers of the stored document messages.
constexpr uint32_t kMaybeDocumentNoDocument = 1;
constexpr uint32_t kMaybeDocumentDocument = 2;
constexpr uint32_t kMaybeDocumentUnknownDocument = 3;
constexpr uint32_t kDocumentFields = 2;
constexpr uint32_t kMapEntryKey = 1;
constexpr uint32_t kMapEntryValue = 2;
constexpr uint32_t kLengthDelimited = 2;

}  // namespace

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

util::StatusOr<MaybeDocumentPtr> VRVLocalSerializer::decodeMaybeDocument(
    const VRVPBMaybeDocument& proto) const {
  const model::DatabaseId& database = remoteSerializer_->databaseID();
  Status status;
  switch (proto.document_type_case()) {
    case VRVPBMaybeDocument::kNoDocument:
      status = CheckDocumentName(proto.no_document().name(), &database);
      status.Update(CheckTimestamp(proto.no_document().read_time()));
      break;
    case VRVPBMaybeDocument::kDocument:
      status = CheckDocumentName(proto.document().name(), &database);
      status.Update(CheckFields(proto.document().fields()));
      status.Update(CheckTimestamp(proto.document().update_time()));
      break;
    case VRVPBMaybeDocument::kUnknownDocument:
      status = CheckDocumentName(proto.unknown_document().name(), &database);
      status.Update(CheckTimestamp(proto.unknown_document().version()));
      break;
    default:
      status = Undecodable("a document of unknown kind");
  }
  if (!status.ok()) return status;
  return decodedMaybeDocument(proto);
}

util::StatusOr<MutationBatchPtr> VRVLocalSerializer::decodeMutationBatch(
    const VRVPBWriteBatch& batch) const {
  if (batch.writes_size() == 0) return Undecodable("a batch without writes");
  Status status = CheckTimestamp(batch.local_write_time());
  const model::DatabaseId& database = remoteSerializer_->databaseID();
  for (const auto& write : batch.base_writes()) status.Update(CheckWrite(write, database));
  for (const auto& write : batch.writes()) status.Update(CheckWrite(write, database));
  if (!status.ok()) return status;
  return decodedMutationBatch(batch);
}

bool VRVLocalSerializer::findStoredFields(absl::string_view encoded,
                                          const std::vector<std::string>& names,
                                          StoredFields* found) const {
  found->clear();
  // The last document kind in the bytes wins, as when the message is parsed.
  WireReader maybeDocument(encoded);
  absl::string_view document;
  uint32_t kind = 0;
  while (!maybeDocument.done()) {
    uint32_t field = 0;
    uint32_t wireType = 0;
    if (!maybeDocument.ReadTag(&field, &wireType)) return false;
    if (wireType == kLengthDelimited &&
        (field == kMaybeDocumentNoDocument || field == kMaybeDocumentUnknownDocument)) {
      kind = field;
      if (!maybeDocument.Skip(wireType)) return false;
    } else if (wireType == kLengthDelimited && field == kMaybeDocumentDocument) {
      kind = field;
      if (!maybeDocument.ReadLengthDelimited(&document)) return false;
    } else if (!maybeDocument.Skip(wireType)) {
      return false;
    }
  }
  if (kind != kMaybeDocumentDocument) return false;

  WireReader reader(document);
  while (!reader.done()) {
    uint32_t field = 0;
    uint32_t wireType = 0;
    if (!reader.ReadTag(&field, &wireType)) return false;
    if (field != kDocumentFields || wireType != kLengthDelimited) {
      if (!reader.Skip(wireType)) return false;
      continue;
    }
    absl::string_view entry;
    if (!reader.ReadLengthDelimited(&entry)) return false;
    absl::string_view name;
    absl::string_view value;
    WireReader entryReader(entry);
    while (!entryReader.done()) {
      uint32_t entryField = 0;
      uint32_t entryWireType = 0;
      if (!entryReader.ReadTag(&entryField, &entryWireType)) return false;
      if (entryWireType == kLengthDelimited && entryField == kMapEntryKey) {
        if (!entryReader.ReadLengthDelimited(&name)) return false;
      } else if (entryWireType == kLengthDelimited && entryField == kMapEntryValue) {
        if (!entryReader.ReadLengthDelimited(&value)) return false;
      } else if (!entryReader.Skip(entryWireType)) {
        return false;
      }
    }
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    // A later entry for the same name wins, as when the message is parsed.
    auto same = std::find_if(found->begin(), found->end(),
                             [&](const auto& earlier) { return earlier.first == name; });
    if (same != found->end()) {
      same->second = value;
    } else {
      found->emplace_back(name, value);
    }
  }
  return true;
}

namespace {

// A value made of one scalar field, decoded without the message parser; null when it is anything
// else.
model::FieldValuePtr DecodedScalarValue(absl::string_view bytes) {
  WireReader reader(bytes);
  uint32_t field = 0;
  uint32_t wireType = 0;
  if (!reader.ReadTag(&field, &wireType)) return nullptr;
  uint64_t number = 0;
  model::FieldValuePtr value;
  if (wireType == 0 && field >= 1 && field <= 3) {
    if (!reader.ReadVarint(&number)) return nullptr;
    if (field == 1) {
      value = model::VRVNullValue::nullValue();
    } else if (field == 2) {
      value = model::VRVBooleanValue::booleanValue(number != 0);
    } else {
      value = model::VRVIntegerValue::integerValue(static_cast<int64_t>(number));
    }
  } else if (wireType == 1 && field == 4) {
    if (!reader.ReadFixed64(&number)) return nullptr;
    double real = 0;
    std::memcpy(&real, &number, sizeof(real));
    value = model::VRVDoubleValue::doubleValue(real);
  }
  return reader.done() ? value : nullptr;
}

}  // namespace

std::optional<model::ObjectValuePtr> VRVLocalSerializer::decodedStoredFields(
    const StoredFields& fields) const {
  if (fields.empty()) return model::VRVObjectValue::objectValue();
  model::VRVObjectValue::Dictionary::Entries entries;
  entries.reserve(fields.size());
  for (const auto& field : fields) {
    model::FieldValuePtr value = DecodedScalarValue(field.second);
    if (!value) {
      remote::VCVValue message;
      if (!message.ParseFromArray(field.second.data(), static_cast<int>(field.second.size())) ||
          !CheckValue(message).ok()) {
        return std::nullopt;
      }
      value = remoteSerializer_->decodedFieldValue(message);
    }
    entries.emplace_back(std::string(field.first), std::move(value));
  }
  return std::make_shared<const model::VRVObjectValue>(model::VRVObjectValue::Dictionary::dictionaryWithDictionary(
      entries, &model::VRVObjectValue::CompareFieldNames));
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
