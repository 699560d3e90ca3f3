// Short builders for field values, documents and mutations in the model tests.
#ifndef DAVEDOVE_VERORARIV_MODEL_TESTS_VALUE_TESTUTIL_H_
#define DAVEDOVE_VERORARIV_MODEL_TESTS_VALUE_TESTUTIL_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace testutil {

inline FieldValuePtr Int(int64_t value) { return VRVIntegerValue::integerValue(value); }
inline FieldValuePtr Dbl(double value) { return VRVDoubleValue::doubleValue(value); }
inline FieldValuePtr Str(std::string value) { return VRVStringValue::stringValue(std::move(value)); }
inline FieldValuePtr Blob(std::string bytes) { return VRVBlobValue::blobValue(std::move(bytes)); }
inline FieldValuePtr Bool(bool value) { return VRVBooleanValue::booleanValue(value); }
inline FieldValuePtr Null() { return VRVNullValue::nullValue(); }
inline FieldValuePtr Ts(int64_t seconds, int32_t nanos = 0) {
  return VRVTimestampValue::timestampValue(DAVTimestamp(seconds, nanos));
}
inline FieldValuePtr ServerTs(int64_t seconds, FieldValuePtr previous = nullptr) {
  return VRVServerTimestampValue::serverTimestampValueWithLocalWriteTime(DAVTimestamp(seconds, 0),
                                                                         std::move(previous));
}
inline FieldValuePtr Geo(double latitude, double longitude) {
  return VRVGeoPointValue::geoPointValue(DAVGeoPoint(latitude, longitude));
}
inline FieldValuePtr Ref(const std::string& project, const std::string& database,
                         const std::string& path) {
  return VRVReferenceValue::referenceValue(DocumentKey::FromPathString(path),
                                           DatabaseId(project, database));
}
inline FieldValuePtr Arr(std::vector<FieldValuePtr> elements) {
  return VRVArrayValue::arrayValue(std::move(elements));
}
inline ObjectValuePtr Obj(const std::map<std::string, FieldValuePtr>& fields = {}) {
  return std::make_shared<const VRVObjectValue>(fields);
}

inline FieldPath Field(const std::string& dotted) { return FieldPath::FromServerFormat(dotted); }
inline DocumentKey Key(const std::string& path) { return DocumentKey::FromPathString(path); }
inline SnapshotVersion Version(int64_t seconds, int32_t nanos = 0) {
  return SnapshotVersion(Timestamp(seconds, nanos));
}

inline DocumentPtr Doc(const std::string& path, int64_t version, ObjectValuePtr data,
                       DocumentState state = DocumentState::Synced) {
  return VRVDocument::documentWithData(std::move(data), Key(path), Version(version), state);
}
inline DeletedDocumentPtr Deleted(const std::string& path, int64_t version,
                                  bool committed = false) {
  return VRVDeletedDocument::documentWithKey(Key(path), Version(version), committed);
}
inline UnknownDocumentPtr Unknown(const std::string& path, int64_t version) {
  return VRVUnknownDocument::documentWithKey(Key(path), Version(version));
}

inline bool SameDoc(const MaybeDocumentPtr& lhs, const MaybeDocumentPtr& rhs) {
  if (lhs == rhs) return true;
  return lhs && rhs && lhs->isEqual(*rhs);
}

}  // namespace testutil
}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_TESTS_VALUE_TESTUTIL_H_
