#include "davedove/verorariv/remote/VRVSerializerBeta.h"

#include <map>
#include <memory>
#include <optional>
#include <typeinfo>
#include <utility>

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_util.h"

namespace davedove {
namespace verorariv {
namespace remote {

using core::FilterPtr;
using core::QueryPtr;
using core::VRVBound;
using core::VRVFilter;
using core::VRVQuery;
using core::VRVRelationFilter;
using core::VRVRelationFilterOperator;
using core::VRVSortOrder;
using model::DatabaseId;
using model::DocumentKey;
using model::FieldPath;
using model::FieldValuePtr;
using model::ObjectValuePtr;
using model::ResourcePath;

using VCVCursor = variru::verorariv::v1::Cursor;
using VCVFieldFilter = VCVStructuredQuery::FieldFilter;
using VCVUnaryFilter = VCVStructuredQuery::UnaryFilter;
using VCVCompositeFilter = VCVStructuredQuery::CompositeFilter;

namespace {

VCVFieldFilter::Operator EncodedOperator(VRVRelationFilterOperator op) {
  switch (op) {
    case VRVRelationFilterOperator::LessThan:
      return VCVFieldFilter::LESS_THAN;
    case VRVRelationFilterOperator::LessThanOrEqual:
      return VCVFieldFilter::LESS_THAN_OR_EQUAL;
    case VRVRelationFilterOperator::Equal:
      return VCVFieldFilter::EQUAL;
    case VRVRelationFilterOperator::GreaterThanOrEqual:
      return VCVFieldFilter::GREATER_THAN_OR_EQUAL;
    case VRVRelationFilterOperator::GreaterThan:
      return VCVFieldFilter::GREATER_THAN;
    case VRVRelationFilterOperator::ArrayContains:
      return VCVFieldFilter::ARRAY_CONTAINS;
  }
  HARD_FAIL("Unhandled VRVRelationFilterOperator: %s", op);
}

VRVRelationFilterOperator DecodedOperator(VCVFieldFilter::Operator op) {
  switch (op) {
    case VCVFieldFilter::LESS_THAN:
      return VRVRelationFilterOperator::LessThan;
    case VCVFieldFilter::LESS_THAN_OR_EQUAL:
      return VRVRelationFilterOperator::LessThanOrEqual;
    case VCVFieldFilter::EQUAL:
      return VRVRelationFilterOperator::Equal;
    case VCVFieldFilter::GREATER_THAN_OR_EQUAL:
      return VRVRelationFilterOperator::GreaterThanOrEqual;
    case VCVFieldFilter::GREATER_THAN:
      return VRVRelationFilterOperator::GreaterThan;
    case VCVFieldFilter::ARRAY_CONTAINS:
      return VRVRelationFilterOperator::ArrayContains;
    default:
      break;
  }
  HARD_FAIL("Unhandled FieldFilter.op: %s", static_cast<int>(op));
}

}  // namespace

VRVSerializerBeta::VRVSerializerBeta(DatabaseId databaseID) : databaseID_(std::move(databaseID)) {}

// Resource names

std::string VRVSerializerBeta::encodedResourcePath(const DatabaseId& databaseID,
                                                   const ResourcePath& path) const {
  std::string name = absl::StrCat("projects/", databaseID.project_id(), "/databases/",
                                  databaseID.database_id(), "/documents");
  if (!path.empty()) absl::StrAppend(&name, "/", path.CanonicalString());
  return name;
}

ResourcePath VRVSerializerBeta::decodedResourceName(const std::string& name) const {
  ResourcePath path = ResourcePath::FromString(name);
  HARD_ASSERT(path.size() >= 4 && path[0] == "projects" && path[2] == "databases",
              "Tried to deserialize invalid key %s", name);
  return path;
}

std::string VRVSerializerBeta::encodedDocumentKey(const DocumentKey& key) const {
  return encodedResourcePath(databaseID_, key.path());
}

DocumentKey VRVSerializerBeta::decodedDocumentKey(const std::string& name) const {
  ResourcePath path = decodedResourceName(name);
  MODEL_ASSERT(path[1] == databaseID_.project_id(), "path[1] == self.databaseID->project_id()",
               "Tried to deserialize key from different project.");
  MODEL_ASSERT(path[3] == databaseID_.database_id(), "path[3] == self.databaseID->database_id()",
               "Tried to deserialize key from different datbase.");
  HARD_ASSERT(path.size() >= 5 && path[4] == "documents", "Tried to deserialize invalid key %s",
              name);
  ResourcePath local = path.PopFirst(5);
  HARD_ASSERT(DocumentKey::IsDocumentKey(local) && !local.empty(),
              "Tried to deserialize invalid key %s", name);
  return DocumentKey(std::move(local));
}

std::string VRVSerializerBeta::encodedQueryPath(const ResourcePath& path) const {
  return encodedResourcePath(databaseID_, path);
}

ResourcePath VRVSerializerBeta::decodedQueryPath(const std::string& name) const {
  ResourcePath path = decodedResourceName(name);
  // The database root may come without its "documents" segment.
  if (path.size() == 4) return ResourcePath();
  HARD_ASSERT(path[4] == "documents", "Tried to deserialize invalid key %s", name);
  return path.PopFirst(5);
}

// Values

VCVFieldMap VRVSerializerBeta::encodedFields(const model::VRVObjectValue& fields) const {
  VCVFieldMap result;
  fields.internalValue()->enumerateKeysAndObjectsUsingBlock(
      [&](const std::string& key, const FieldValuePtr& value, bool*) {
        result[key] = encodedFieldValue(*value);
      });
  return result;
}

ObjectValuePtr VRVSerializerBeta::decodedFields(const VCVFieldMap& fields) const {
  if (fields.empty()) return model::VRVObjectValue::objectValue();
  std::map<std::string, FieldValuePtr> result;
  for (const auto& entry : fields) {
    result.emplace(entry.first, decodedFieldValue(entry.second));
  }
  return std::make_shared<const model::VRVObjectValue>(result);
}

VCVMapValue VRVSerializerBeta::encodedMapValue(const model::VRVObjectValue& value) const {
  VCVMapValue map;
  *map.mutable_fields() = encodedFields(value);
  return map;
}

VCVArrayValue VRVSerializerBeta::encodedArrayValue(
    const std::vector<FieldValuePtr>& elements) const {
  VCVArrayValue array;
  for (const FieldValuePtr& element : elements) {
    *array.add_values() = encodedFieldValue(*element);
  }
  return array;
}

std::vector<FieldValuePtr> VRVSerializerBeta::decodedArrayValue(const VCVArrayValue& array) const {
  std::vector<FieldValuePtr> elements;
  elements.reserve(static_cast<size_t>(array.values_size()));
  for (const VCVValue& element : array.values()) {
    elements.push_back(decodedFieldValue(element));
  }
  return elements;
}

VCVValue VRVSerializerBeta::encodedFieldValue(const model::VRVFieldValue& value) const {
  VCVValue result;
  const model::VRVFieldValue* v = &value;
  if (dynamic_cast<const model::VRVNullValue*>(v)) {
    result.set_null_value(google::protobuf::NULL_VALUE);
  } else if (auto boolean = dynamic_cast<const model::VRVBooleanValue*>(v)) {
    result.set_boolean_value(boolean->internalValue());
  } else if (auto integer = dynamic_cast<const model::VRVIntegerValue*>(v)) {
    result.set_integer_value(integer->internalValue());
  } else if (auto number = dynamic_cast<const model::VRVDoubleValue*>(v)) {
    result.set_double_value(number->internalValue());
  } else if (auto timestamp = dynamic_cast<const model::VRVTimestampValue*>(v)) {
    *result.mutable_timestamp_value() =
        encodedTimestamp(timestamp->internalValue().internalValue());
  } else if (auto string = dynamic_cast<const model::VRVStringValue*>(v)) {
    result.set_string_value(string->internalValue());
  } else if (auto blob = dynamic_cast<const model::VRVBlobValue*>(v)) {
    result.set_bytes_value(blob->internalValue());
  } else if (auto reference = dynamic_cast<const model::VRVReferenceValue*>(v)) {
    // A reference names its own database, which need not be this serializer's.
    result.set_reference_value(
        encodedResourcePath(reference->databaseID(), reference->key().path()));
  } else if (auto geo = dynamic_cast<const model::VRVGeoPointValue*>(v)) {
    auto* lat_lng = result.mutable_geo_point_value();
    lat_lng->set_latitude(geo->internalValue().latitude());
    lat_lng->set_longitude(geo->internalValue().longitude());
  } else if (auto array = dynamic_cast<const model::VRVArrayValue*>(v)) {
    *result.mutable_array_value() = encodedArrayValue(array->internalValue());
  } else if (auto object = dynamic_cast<const model::VRVObjectValue*>(v)) {
    *result.mutable_map_value() = encodedMapValue(*object);
  } else {
    HARD_FAIL("Unhandled type %s on %s", util::ClassName(typeid(value)), value.ToString());
  }
  return result;
}

FieldValuePtr VRVSerializerBeta::decodedFieldValue(const VCVValue& value) const {
  switch (value.value_type_case()) {
    case VCVValue::kNullValue:
      return model::VRVNullValue::nullValue();
    case VCVValue::kBooleanValue:
      return model::VRVBooleanValue::booleanValue(value.boolean_value());
    case VCVValue::kIntegerValue:
      return model::VRVIntegerValue::integerValue(value.integer_value());
    case VCVValue::kDoubleValue:
      return model::VRVDoubleValue::doubleValue(value.double_value());
    case VCVValue::kTimestampValue:
      return model::VRVTimestampValue::timestampValue(
          DAVTimestamp(decodedTimestamp(value.timestamp_value())));
    case VCVValue::kStringValue:
      return model::VRVStringValue::stringValue(value.string_value());
    case VCVValue::kBytesValue:
      return model::VRVBlobValue::blobValue(value.bytes_value());
    case VCVValue::kReferenceValue: {
      ResourcePath path = decodedResourceName(value.reference_value());
      HARD_ASSERT(path.size() >= 5 && path[4] == "documents",
                  "Tried to deserialize invalid key %s", value.reference_value());
      ResourcePath local = path.PopFirst(5);
      HARD_ASSERT(DocumentKey::IsDocumentKey(local) && !local.empty(),
                  "Tried to deserialize invalid key %s", value.reference_value());
      return model::VRVReferenceValue::referenceValue(DocumentKey(std::move(local)),
                                                      DatabaseId(path[1], path[3]));
    }
    case VCVValue::kGeoPointValue:
      return model::VRVGeoPointValue::geoPointValue(
          DAVGeoPoint(value.geo_point_value().latitude(), value.geo_point_value().longitude()));
    case VCVValue::kArrayValue:
      return model::VRVArrayValue::arrayValue(decodedArrayValue(value.array_value()));
    case VCVValue::kMapValue:
      return decodedFields(value.map_value().fields());
    case VCVValue::VALUE_TYPE_NOT_SET:
      break;
  }
  HARD_FAIL("Unhandled type %s on %s", static_cast<int>(value.value_type_case()),
            value.ShortDebugString());
}

// Versions and timestamps

GPBTimestamp VRVSerializerBeta::encodedVersion(const model::SnapshotVersion& version) const {
  return encodedTimestamp(version.timestamp());
}

model::SnapshotVersion VRVSerializerBeta::decodedVersion(const GPBTimestamp& version) const {
  return model::SnapshotVersion(decodedTimestamp(version));
}

GPBTimestamp VRVSerializerBeta::encodedTimestamp(const Timestamp& timestamp) const {
  GPBTimestamp result;
  result.set_seconds(timestamp.seconds());
  result.set_nanos(timestamp.nanoseconds());
  return result;
}

Timestamp VRVSerializerBeta::decodedTimestamp(const GPBTimestamp& timestamp) const {
  return Timestamp(timestamp.seconds(), timestamp.nanos());
}

// Mutations

VCVDocumentMask VRVSerializerBeta::encodedFieldMask(const model::FieldMask& mask) const {
  VCVDocumentMask result;
  for (const FieldPath& path : mask) result.add_field_paths(path.CanonicalString());
  return result;
}

model::FieldMask VRVSerializerBeta::decodedFieldMask(const VCVDocumentMask& mask) const {
  std::set<FieldPath> paths;
  for (const std::string& path : mask.field_paths()) {
    paths.insert(FieldPath::FromServerFormat(path));
  }
  return model::FieldMask(std::move(paths));
}

VCVPrecondition VRVSerializerBeta::encodedPrecondition(
    const model::Precondition& precondition) const {
  VCVPrecondition result;
  switch (precondition.type()) {
    case model::Precondition::Type::Exists:
      result.set_exists(precondition.exists());
      break;
    case model::Precondition::Type::UpdateTime:
      *result.mutable_update_time() = encodedVersion(precondition.update_time());
      break;
    case model::Precondition::Type::None:
      break;
  }
  return result;
}

model::Precondition VRVSerializerBeta::decodedPrecondition(
    const VCVPrecondition& precondition) const {
  switch (precondition.condition_type_case()) {
    case VCVPrecondition::kExists:
      return model::Precondition::Exists(precondition.exists());
    case VCVPrecondition::kUpdateTime:
      return model::Precondition::UpdateTime(decodedVersion(precondition.update_time()));
    case VCVPrecondition::CONDITION_TYPE_NOT_SET:
      break;
  }
  return model::Precondition::None();
}

VCVDocumentTransform_FieldTransform VRVSerializerBeta::encodedFieldTransform(
    const model::FieldTransform& fieldTransform) const {
  VCVDocumentTransform_FieldTransform result;
  result.set_field_path(fieldTransform.path().CanonicalString());
  const model::TransformOperation& operation = fieldTransform.transformation();
  switch (operation.type()) {
    case model::TransformOperation::Type::ServerTimestamp:
      result.set_set_to_server_value(VCVDocumentTransform_FieldTransform::REQUEST_TIME);
      break;
    case model::TransformOperation::Type::ArrayUnion:
      *result.mutable_append_missing_elements() =
          encodedArrayValue(model::ArrayTransform::Elements(operation));
      break;
    case model::TransformOperation::Type::ArrayRemove:
      *result.mutable_remove_all_from_array() =
          encodedArrayValue(model::ArrayTransform::Elements(operation));
      break;
    case model::TransformOperation::Type::Increment: {
      const auto& increment = static_cast<const model::NumericIncrementTransform&>(operation);
      *result.mutable_increment() = encodedFieldValue(*increment.operand());
      break;
    }
  }
  return result;
}

model::FieldTransform VRVSerializerBeta::decodedFieldTransform(
    const VCVDocumentTransform_FieldTransform& fieldTransform) const {
  FieldPath path = FieldPath::FromServerFormat(fieldTransform.field_path());
  switch (fieldTransform.transform_type_case()) {
    case VCVDocumentTransform_FieldTransform::kSetToServerValue:
      HARD_ASSERT(
          fieldTransform.set_to_server_value() == VCVDocumentTransform_FieldTransform::REQUEST_TIME,
          "Unknown transform setToServerValue: %s",
          static_cast<int>(fieldTransform.set_to_server_value()));
      return model::FieldTransform(std::move(path), model::ServerTimestampTransform::Get());
    case VCVDocumentTransform_FieldTransform::kAppendMissingElements:
      return model::FieldTransform(
          std::move(path),
          std::make_shared<const model::ArrayTransform>(
              model::TransformOperation::Type::ArrayUnion,
              decodedArrayValue(fieldTransform.append_missing_elements())));
    case VCVDocumentTransform_FieldTransform::kRemoveAllFromArray:
      return model::FieldTransform(
          std::move(path), std::make_shared<const model::ArrayTransform>(
                               model::TransformOperation::Type::ArrayRemove,
                               decodedArrayValue(fieldTransform.remove_all_from_array())));
    case VCVDocumentTransform_FieldTransform::kIncrement:
      return model::FieldTransform(std::move(path),
                                   std::make_shared<const model::NumericIncrementTransform>(
                                       decodedFieldValue(fieldTransform.increment())));
    case VCVDocumentTransform_FieldTransform::TRANSFORM_TYPE_NOT_SET:
      break;
  }
  HARD_FAIL("Unknown transform %s", fieldTransform.ShortDebugString());
}

VCVWrite VRVSerializerBeta::encodedMutation(const model::VRVMutation& mutation) const {
  VCVWrite write;
  const std::string name = encodedDocumentKey(mutation.key());
  if (auto set = dynamic_cast<const model::VRVSetMutation*>(&mutation)) {
    VCVDocument* update = write.mutable_update();
    update->set_name(name);
    *update->mutable_fields() = encodedFields(*set->value());
  } else if (auto patch = dynamic_cast<const model::VRVPatchMutation*>(&mutation)) {
    VCVDocument* update = write.mutable_update();
    update->set_name(name);
    *update->mutable_fields() = encodedFields(*patch->value());
    *write.mutable_update_mask() = encodedFieldMask(*patch->fieldMask());
  } else if (auto transform = dynamic_cast<const model::VRVTransformMutation*>(&mutation)) {
    auto* document_transform = write.mutable_transform();
    document_transform->set_document(name);
    for (const model::FieldTransform& fieldTransform : transform->fieldTransforms()) {
      *document_transform->add_field_transforms() = encodedFieldTransform(fieldTransform);
    }
  } else if (dynamic_cast<const model::VRVDeleteMutation*>(&mutation)) {
    write.set_delete_(name);
  } else {
    HARD_FAIL("Unknown mutation type %s", util::ClassName(typeid(mutation)));
  }
  if (!mutation.precondition().IsNone()) {
    *write.mutable_current_document() = encodedPrecondition(mutation.precondition());
  }
  return write;
}

model::MutationPtr VRVSerializerBeta::decodedMutation(const VCVWrite& mutation) const {
  model::Precondition precondition = mutation.has_current_document()
                                         ? decodedPrecondition(mutation.current_document())
                                         : model::Precondition::None();
  switch (mutation.operation_case()) {
    case VCVWrite::kUpdate: {
      DocumentKey key = decodedDocumentKey(mutation.update().name());
      ObjectValuePtr value = decodedFields(mutation.update().fields());
      if (mutation.has_update_mask()) {
        return std::make_shared<const model::VRVPatchMutation>(
            std::move(key), std::move(value), decodedFieldMask(mutation.update_mask()),
            std::move(precondition));
      }
      return std::make_shared<const model::VRVSetMutation>(std::move(key), std::move(value),
                                                           std::move(precondition));
    }
    case VCVWrite::kDelete:
      return std::make_shared<const model::VRVDeleteMutation>(
          decodedDocumentKey(mutation.delete_()), std::move(precondition));
    case VCVWrite::kTransform: {
      HARD_ASSERT(precondition == model::Precondition::Exists(true),
                  "Transforms must have precondition \"exists == true\"");
      std::vector<model::FieldTransform> fieldTransforms;
      for (const auto& fieldTransform : mutation.transform().field_transforms()) {
        fieldTransforms.push_back(decodedFieldTransform(fieldTransform));
      }
      return std::make_shared<const model::VRVTransformMutation>(
          decodedDocumentKey(mutation.transform().document()), std::move(fieldTransforms));
    }
    case VCVWrite::OPERATION_NOT_SET:
      break;
  }
  HARD_FAIL("Unknown mutation operation: %s", static_cast<int>(mutation.operation_case()));
}

// Targets

VCVTarget_DocumentsTarget VRVSerializerBeta::encodedDocumentsTarget(const VRVQuery& query) const {
  VCVTarget_DocumentsTarget target;
  target.add_documents(encodedQueryPath(query.path()));
  return target;
}

QueryPtr VRVSerializerBeta::decodedQueryFromDocumentsTarget(
    const VCVTarget_DocumentsTarget& target) const {
  HARD_ASSERT(target.documents_size() == 1, "DocumentsTarget contained other than 1 document %s",
              target.documents_size());
  return VRVQuery::queryWithPath(decodedQueryPath(target.documents(0)));
}

VCVStructuredQuery::Filter VRVSerializerBeta::encodedFilter(const VRVFilter& filter) const {
  VCVStructuredQuery::Filter result;
  const std::string field = filter.field().CanonicalString();
  if (auto relation = dynamic_cast<const VRVRelationFilter*>(&filter)) {
    VCVFieldFilter* fieldFilter = result.mutable_field_filter();
    fieldFilter->mutable_field()->set_field_path(field);
    fieldFilter->set_op(EncodedOperator(relation->filterOperator()));
    *fieldFilter->mutable_value() = encodedFieldValue(*relation->value());
  } else if (dynamic_cast<const core::VRVNanFilter*>(&filter)) {
    VCVUnaryFilter* unary = result.mutable_unary_filter();
    unary->mutable_field()->set_field_path(field);
    unary->set_op(VCVUnaryFilter::IS_NAN);
  } else if (dynamic_cast<const core::VRVNullFilter*>(&filter)) {
    VCVUnaryFilter* unary = result.mutable_unary_filter();
    unary->mutable_field()->set_field_path(field);
    unary->set_op(VCVUnaryFilter::IS_NULL);
  } else {
    HARD_FAIL("Unknown filter type %s", util::ClassName(typeid(filter)));
  }
  return result;
}

void VRVSerializerBeta::decodeFilters(const VCVStructuredQuery::Filter& filter,
                                      std::vector<FilterPtr>* filters) const {
  switch (filter.filter_type_case()) {
    case VCVStructuredQuery::Filter::kCompositeFilter: {
      const VCVCompositeFilter& composite = filter.composite_filter();
      HARD_ASSERT(composite.op() == VCVCompositeFilter::AND,
                  "Only AND-type composite filters are supported, got %s",
                  static_cast<int>(composite.op()));
      for (const auto& child : composite.filters()) decodeFilters(child, filters);
      return;
    }
    case VCVStructuredQuery::Filter::kFieldFilter: {
      const VCVFieldFilter& fieldFilter = filter.field_filter();
      filters->push_back(std::make_shared<const VRVRelationFilter>(
          FieldPath::FromServerFormat(fieldFilter.field().field_path()),
          DecodedOperator(fieldFilter.op()), decodedFieldValue(fieldFilter.value())));
      return;
    }
    case VCVStructuredQuery::Filter::kUnaryFilter: {
      const VCVUnaryFilter& unary = filter.unary_filter();
      FieldPath field = FieldPath::FromServerFormat(unary.field().field_path());
      switch (unary.op()) {
        case VCVUnaryFilter::IS_NAN:
          filters->push_back(std::make_shared<const core::VRVNanFilter>(std::move(field)));
          return;
        case VCVUnaryFilter::IS_NULL:
          filters->push_back(std::make_shared<const core::VRVNullFilter>(std::move(field)));
          return;
        default:
          HARD_FAIL("Unrecognized UnaryFilter.op %s", static_cast<int>(unary.op()));
      }
    }
    case VCVStructuredQuery::Filter::FILTER_TYPE_NOT_SET:
      break;
  }
  HARD_FAIL("Unrecognized Filter.filterType %s", static_cast<int>(filter.filter_type_case()));
}

VCVStructuredQuery::Order VRVSerializerBeta::encodedSortOrder(const VRVSortOrder& sortOrder) const {
  VCVStructuredQuery::Order order;
  order.mutable_field()->set_field_path(sortOrder.field().CanonicalString());
  order.set_direction(sortOrder.isAscending() ? VCVStructuredQuery::ASCENDING
                                              : VCVStructuredQuery::DESCENDING);
  return order;
}

VRVSortOrder VRVSerializerBeta::decodedSortOrder(const VCVStructuredQuery::Order& order) const {
  FieldPath field = FieldPath::FromServerFormat(order.field().field_path());
  switch (order.direction()) {
    case VCVStructuredQuery::ASCENDING:
      return VRVSortOrder(std::move(field), true);
    case VCVStructuredQuery::DESCENDING:
      return VRVSortOrder(std::move(field), false);
    default:
      break;
  }
  HARD_FAIL("Unrecognized VCVStructuredQuery_Direction %s", static_cast<int>(order.direction()));
}

VCVCursor VRVSerializerBeta::encodedBound(const VRVBound& bound) const {
  VCVCursor cursor;
  cursor.set_before(bound.isBefore());
  for (const FieldValuePtr& value : bound.position()) {
    *cursor.add_values() = encodedFieldValue(*value);
  }
  return cursor;
}

VRVBound VRVSerializerBeta::decodedBound(const VCVCursor& cursor) const {
  std::vector<FieldValuePtr> position;
  for (const VCVValue& value : cursor.values()) position.push_back(decodedFieldValue(value));
  return VRVBound(std::move(position), cursor.before());
}

VCVTarget_QueryTarget VRVSerializerBeta::encodedQueryTarget(const VRVQuery& query) const {
  VCVTarget_QueryTarget target;
  VCVStructuredQuery* structured = target.mutable_structured_query();
  const ResourcePath& path = query.path();
  auto* from = structured->add_from();
  if (query.collectionGroup()) {
    HARD_ASSERT(path.size() % 2 == 0,
                "Collection group queries should be within a document path or root.");
    target.set_parent(encodedQueryPath(path));
    from->set_collection_id(*query.collectionGroup());
    from->set_all_descendants(true);
  } else {
    HARD_ASSERT(path.size() % 2 != 0, "Document queries with filters are not supported.");
    target.set_parent(encodedQueryPath(path.PopLast()));
    from->set_collection_id(path.last_segment());
  }

  const std::vector<FilterPtr>& filters = query.filters();
  if (filters.size() == 1) {
    *structured->mutable_where() = encodedFilter(*filters.front());
  } else if (filters.size() > 1) {
    VCVCompositeFilter* composite = structured->mutable_where()->mutable_composite_filter();
    composite->set_op(VCVCompositeFilter::AND);
    for (const FilterPtr& filter : filters) *composite->add_filters() = encodedFilter(*filter);
  }

  for (const VRVSortOrder& sortOrder : query.sortOrders()) {
    *structured->add_order_by() = encodedSortOrder(sortOrder);
  }
  if (query.hasLimit()) structured->mutable_limit()->set_value(query.limit());
  if (query.startAt()) *structured->mutable_start_at() = encodedBound(*query.startAt());
  if (query.endAt()) *structured->mutable_end_at() = encodedBound(*query.endAt());
  return target;
}

QueryPtr VRVSerializerBeta::decodedQueryFromQueryTarget(const VCVTarget_QueryTarget& target) const {
  ResourcePath path = decodedQueryPath(target.parent());
  const VCVStructuredQuery& structured = target.structured_query();

  std::optional<std::string> collectionGroup;
  if (structured.from_size() > 0) {
    HARD_ASSERT(structured.from_size() == 1,
                "StructuredQuery.from with more than one collection is not supported.");
    const auto& from = structured.from(0);
    if (from.all_descendants()) {
      collectionGroup = from.collection_id();
    } else {
      path = path.Append(from.collection_id());
    }
  }

  std::vector<FilterPtr> filters;
  if (structured.has_where()) decodeFilters(structured.where(), &filters);

  std::vector<VRVSortOrder> sortOrders;
  for (const auto& order : structured.order_by()) sortOrders.push_back(decodedSortOrder(order));

  int32_t limit = structured.has_limit() ? structured.limit().value() : VRVQuery::kNoLimit;
  std::optional<VRVBound> startAt;
  if (structured.has_start_at()) startAt = decodedBound(structured.start_at());
  std::optional<VRVBound> endAt;
  if (structured.has_end_at()) endAt = decodedBound(structured.end_at());

  return std::make_shared<const VRVQuery>(std::move(path), std::move(collectionGroup),
                                          std::move(filters), std::move(sortOrders), limit,
                                          std::move(startAt), std::move(endAt));
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
