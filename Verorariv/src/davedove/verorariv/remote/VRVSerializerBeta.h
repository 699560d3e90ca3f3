#ifndef DAVEDOVE_VERORARIV_REMOTE_VRVSERIALIZERBETA_H_
#define DAVEDOVE_VERORARIV_REMOTE_VRVSERIALIZERBETA_H_

#include <string>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/field_mask.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/resource_path.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/model/timestamp.h"
#include "google/protobuf/map.h"
#include "google/protobuf/timestamp.pb.h"
#include "variru/verorariv/v1/common.pb.h"
#include "variru/verorariv/v1/document.pb.h"
#include "variru/verorariv/v1/query.pb.h"
#include "variru/verorariv/v1/verorariv.pb.h"
#include "variru/verorariv/v1/write.pb.h"

namespace davedove {
namespace verorariv {
namespace remote {

// The wire messages under the names the serializer's callers use.
using GPBTimestamp = google::protobuf::Timestamp;
using VCVDocument = variru::verorariv::v1::Document;
using VCVValue = variru::verorariv::v1::Value;
using VCVArrayValue = variru::verorariv::v1::ArrayValue;
using VCVMapValue = variru::verorariv::v1::MapValue;
using VCVWrite = variru::verorariv::v1::Write;
using VCVDocumentMask = variru::verorariv::v1::DocumentMask;
using VCVPrecondition = variru::verorariv::v1::Precondition;
using VCVDocumentTransform_FieldTransform = variru::verorariv::v1::DocumentTransform_FieldTransform;
using VCVStructuredQuery = variru::verorariv::v1::StructuredQuery;
using VCVTarget_DocumentsTarget = variru::verorariv::v1::Target_DocumentsTarget;
using VCVTarget_QueryTarget = variru::verorariv::v1::Target_QueryTarget;
// A wire document's field map: field name to value.
using VCVFieldMap = google::protobuf::Map<std::string, VCVValue>;

// Converts between the model and the wire messages of one database. Every conversion is pure and
// returns a new object. Input that breaks the wire contract stops the process.
class VRVSerializerBeta {
 public:
  explicit VRVSerializerBeta(model::DatabaseId databaseID);

  const model::DatabaseId& databaseID() const { return databaseID_; }

  // "projects/<project>/databases/<database>/documents/<document path>".
  std::string encodedDocumentKey(const model::DocumentKey& key) const;
  // The name must belong to this serializer's project and database.
  model::DocumentKey decodedDocumentKey(const std::string& name) const;

  VCVFieldMap encodedFields(const model::VRVObjectValue& fields) const;
  model::ObjectValuePtr decodedFields(const VCVFieldMap& fields) const;

  VCVValue encodedFieldValue(const model::VRVFieldValue& value) const;
  model::FieldValuePtr decodedFieldValue(const VCVValue& value) const;

  GPBTimestamp encodedVersion(const model::SnapshotVersion& version) const;
  // An absent timestamp (the default message) reads as (0, 0), the none version.
  model::SnapshotVersion decodedVersion(const GPBTimestamp& version) const;

  GPBTimestamp encodedTimestamp(const Timestamp& timestamp) const;
  Timestamp decodedTimestamp(const GPBTimestamp& timestamp) const;

  VCVWrite encodedMutation(const model::VRVMutation& mutation) const;
  model::MutationPtr decodedMutation(const VCVWrite& mutation) const;

  // `query` names one document.
  VCVTarget_DocumentsTarget encodedDocumentsTarget(const core::VRVQuery& query) const;
  core::QueryPtr decodedQueryFromDocumentsTarget(const VCVTarget_DocumentsTarget& target) const;

  // Any query but a document query.
  VCVTarget_QueryTarget encodedQueryTarget(const core::VRVQuery& query) const;
  core::QueryPtr decodedQueryFromQueryTarget(const VCVTarget_QueryTarget& target) const;

 private:
  std::string encodedResourcePath(const model::DatabaseId& databaseID,
                                  const model::ResourcePath& path) const;
  // The full resource name split into segments, checked to be a name below a database's
  // "documents" root.
  model::ResourcePath decodedResourceName(const std::string& name) const;
  std::string encodedQueryPath(const model::ResourcePath& path) const;
  model::ResourcePath decodedQueryPath(const std::string& name) const;

  VCVMapValue encodedMapValue(const model::VRVObjectValue& value) const;
  VCVArrayValue encodedArrayValue(const std::vector<model::FieldValuePtr>& elements) const;
  std::vector<model::FieldValuePtr> decodedArrayValue(const VCVArrayValue& array) const;

  VCVDocumentMask encodedFieldMask(const model::FieldMask& mask) const;
  model::FieldMask decodedFieldMask(const VCVDocumentMask& mask) const;
  VCVPrecondition encodedPrecondition(const model::Precondition& precondition) const;
  model::Precondition decodedPrecondition(const VCVPrecondition& precondition) const;
  VCVDocumentTransform_FieldTransform encodedFieldTransform(
      const model::FieldTransform& fieldTransform) const;
  model::FieldTransform decodedFieldTransform(
      const VCVDocumentTransform_FieldTransform& fieldTransform) const;

  VCVStructuredQuery::Filter encodedFilter(const core::VRVFilter& filter) const;
  void decodeFilters(const VCVStructuredQuery::Filter& filter,
                     std::vector<core::FilterPtr>* filters) const;
  VCVStructuredQuery::Order encodedSortOrder(const core::VRVSortOrder& sortOrder) const;
  core::VRVSortOrder decodedSortOrder(const VCVStructuredQuery::Order& order) const;
  variru::verorariv::v1::Cursor encodedBound(const core::VRVBound& bound) const;
  core::VRVBound decodedBound(const variru::verorariv::v1::Cursor& cursor) const;

  model::DatabaseId databaseID_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_VRVSERIALIZERBETA_H_
