// Short builders for values, documents and queries in the core, remote and api tests.
#ifndef DAVEDOVE_VERORARIV_CORE_TESTS_CORE_TESTUTIL_H_
#define DAVEDOVE_VERORARIV_CORE_TESTS_CORE_TESTUTIL_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/model/resource_path.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace testutil {

using model::FieldValuePtr;

inline FieldValuePtr Int(int64_t value) { return model::VRVIntegerValue::integerValue(value); }
inline FieldValuePtr Dbl(double value) { return model::VRVDoubleValue::doubleValue(value); }
inline FieldValuePtr Str(std::string value) {
  return model::VRVStringValue::stringValue(std::move(value));
}
inline FieldValuePtr Bytes(std::string value) {
  return model::VRVBlobValue::blobValue(std::move(value));
}
inline FieldValuePtr Bool(bool value) { return model::VRVBooleanValue::booleanValue(value); }
inline FieldValuePtr Null() { return model::VRVNullValue::nullValue(); }
inline FieldValuePtr Ts(int64_t seconds, int32_t nanos = 0) {
  return model::VRVTimestampValue::timestampValue(DAVTimestamp(seconds, nanos));
}
inline FieldValuePtr Geo(double latitude, double longitude) {
  return model::VRVGeoPointValue::geoPointValue(DAVGeoPoint(latitude, longitude));
}
inline FieldValuePtr Ref(const std::string& path, const std::string& project = "p",
                         const std::string& database = "(default)") {
  return model::VRVReferenceValue::referenceValue(model::DocumentKey::FromPathString(path),
                                                  model::DatabaseId(project, database));
}
inline FieldValuePtr Arr(std::vector<FieldValuePtr> elements) {
  return model::VRVArrayValue::arrayValue(std::move(elements));
}
inline model::ObjectValuePtr Obj(const std::map<std::string, FieldValuePtr>& fields = {}) {
  return std::make_shared<const model::VRVObjectValue>(fields);
}

inline model::FieldPath Field(const std::string& dotted) {
  return model::FieldPath::FromServerFormat(dotted);
}
inline model::DocumentKey Key(const std::string& path) {
  return model::DocumentKey::FromPathString(path);
}
inline model::ResourcePath Path(const std::string& path) {
  return model::ResourcePath::FromString(path);
}

inline model::DocumentPtr Doc(const std::string& path,
                              const std::map<std::string, FieldValuePtr>& fields = {},
                              int64_t version = 1) {
  return model::VRVDocument::documentWithData(Obj(fields), Key(path),
                                              model::SnapshotVersion(Timestamp(version, 0)),
                                              model::DocumentState::Synced);
}

inline core::QueryPtr Query(const std::string& path) {
  return core::VRVQuery::queryWithPath(Path(path));
}
inline core::FilterPtr Filter(const std::string& field, core::VRVRelationFilterOperator op,
                              FieldValuePtr value) {
  return core::VRVFilter::filterWithField(Field(field), op, std::move(value));
}
inline core::VRVSortOrder OrderBy(const std::string& field, bool ascending = true) {
  return core::VRVSortOrder(Field(field), ascending);
}

}  // namespace testutil
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_TESTS_CORE_TESTUTIL_H_
