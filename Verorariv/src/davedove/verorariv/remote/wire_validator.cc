#include "davedove/verorariv/remote/wire_validator.h"

#include <utility>
#include <vector>

namespace davedove {
namespace verorariv {
namespace remote {

namespace v1 = variru::verorariv::v1;

namespace {

// The non-empty "/"-separated segments of `path`, or nullopt when one is empty.
std::optional<std::vector<std::string>> Segments(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    size_t end = slash == std::string::npos ? path.size() : slash;
    if (end == start) return std::nullopt;
    out.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

bool IsPlainField(const std::string& path) {
  return WireValidator::IsFieldPath(path) && path != "__name__";
}

}  // namespace

WireValidator::WireValidator(model::DatabaseId database_id)
    : database_name_("projects/" + database_id.project_id() + "/databases/" + database_id.database_id()) {}

std::optional<std::string> WireValidator::DocumentPath(const std::string& name) const {
  std::string prefix = database_name_ + "/documents/";
  if (name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::string path = name.substr(prefix.size());
  auto segments = Segments(path);
  if (!segments || segments->size() % 2 != 0) return std::nullopt;
  return path;
}

bool WireValidator::IsAnyDocumentName(const std::string& name) {
  auto segments = Segments(name);
  return segments && segments->size() >= 7 && segments->size() % 2 == 1 && (*segments)[0] == "projects" &&
         (*segments)[2] == "databases" && (*segments)[4] == "documents";
}

bool WireValidator::IsFieldPath(const std::string& path) {
  if (path.empty()) return false;
  bool in_backticks = false;
  size_t segment_length = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '\0') return false;
    if (c == '\\') {
      if (i + 1 == path.size()) return false;
      ++i;
      ++segment_length;
    } else if (c == '`') {
      in_backticks = !in_backticks;
    } else if (c == '.' && !in_backticks) {
      if (segment_length == 0) return false;
      segment_length = 0;
    } else {
      ++segment_length;
    }
  }
  return !in_backticks && segment_length > 0;
}

bool WireValidator::IsTimestamp(const google::protobuf::Timestamp& t) {
  return t.nanos() >= 0 && t.nanos() < 1000000000 && t.seconds() >= -62135596800LL &&
         t.seconds() < 253402300800LL;
}

bool WireValidator::IsValue(const v1::Value& value, int depth) const {
  if (depth > kMaxDepth) return false;
  switch (value.value_type_case()) {
    case v1::Value::VALUE_TYPE_NOT_SET:
      return false;
    case v1::Value::kReferenceValue:
      return IsAnyDocumentName(value.reference_value());
    case v1::Value::kArrayValue:
      for (const auto& element : value.array_value().values())
        if (!IsValue(element, depth + 1)) return false;
      return true;
    case v1::Value::kMapValue:
      return AreFields(value.map_value().fields(), depth + 1);
    case v1::Value::kTimestampValue:
      return IsTimestamp(value.timestamp_value());
    default:
      return true;
  }
}

bool WireValidator::AreFields(const google::protobuf::Map<std::string, v1::Value>& fields, int depth) const {
  for (const auto& [name, value] : fields)
    if (name.empty() || !IsValue(value, depth)) return false;
  return true;
}

bool WireValidator::IsDocument(const v1::Document& document) const {
  return IsDocumentName(document.name()) && AreFields(document.fields()) &&
         IsTimestamp(document.create_time()) && IsTimestamp(document.update_time());
}

bool WireValidator::IsWrite(const v1::Write& write) const {
  if (write.current_document().condition_type_case() == v1::Precondition::kUpdateTime &&
      !IsTimestamp(write.current_document().update_time()))
    return false;
  for (const auto& path : write.update_mask().field_paths())
    if (!IsFieldPath(path)) return false;
  switch (write.operation_case()) {
    case v1::Write::kUpdate:
      return IsDocumentName(write.update().name()) && AreFields(write.update().fields());
    case v1::Write::kDelete:
      return IsDocumentName(write.delete_()) && !write.has_update_mask();
    case v1::Write::kTransform: {
      if (!IsDocumentName(write.transform().document())) return false;
      // A transform only applies to an existing document.
      if (write.current_document().condition_type_case() != v1::Precondition::kExists ||
          !write.current_document().exists())
        return false;
      using FieldTransform = v1::DocumentTransform::FieldTransform;
      for (const auto& transform : write.transform().field_transforms()) {
        if (!IsFieldPath(transform.field_path())) return false;
        switch (transform.transform_type_case()) {
          case FieldTransform::kSetToServerValue:
            if (transform.set_to_server_value() != FieldTransform::REQUEST_TIME) return false;
            break;
          case FieldTransform::kIncrement:
            if (transform.increment().value_type_case() != v1::Value::kIntegerValue &&
                transform.increment().value_type_case() != v1::Value::kDoubleValue)
              return false;
            break;
          case FieldTransform::kAppendMissingElements:
            for (const auto& element : transform.append_missing_elements().values())
              if (!IsValue(element)) return false;
            break;
          case FieldTransform::kRemoveAllFromArray:
            for (const auto& element : transform.remove_all_from_array().values())
              if (!IsValue(element)) return false;
            break;
          default:
            return false;
        }
      }
      return true;
    }
    default:
      return false;
  }
}

bool WireValidator::IsListenResponse(const v1::ListenResponse& response) const {
  switch (response.response_type_case()) {
    case v1::ListenResponse::kTargetChange:
      return !response.target_change().has_read_time() || IsTimestamp(response.target_change().read_time());
    case v1::ListenResponse::kDocumentChange:
      return IsDocument(response.document_change().document());
    case v1::ListenResponse::kDocumentDelete:
      return IsDocumentName(response.document_delete().document()) &&
             IsTimestamp(response.document_delete().read_time());
    case v1::ListenResponse::kDocumentRemove:
      return IsDocumentName(response.document_remove().document());
    case v1::ListenResponse::kFilter:
      return response.filter().count() >= 0;
    default:
      return false;
  }
}

bool WireValidator::IsWriteResponse(const v1::WriteResponse& response) const {
  if (!IsTimestamp(response.commit_time())) return false;
  for (const auto& result : response.write_results()) {
    if (!IsTimestamp(result.update_time())) return false;
    for (const auto& value : result.transform_results())
      if (!IsValue(value)) return false;
  }
  return true;
}

bool WireValidator::IsBatchGetResponse(const v1::BatchGetDocumentsResponse& response) const {
  if (!IsTimestamp(response.read_time())) return false;
  switch (response.result_case()) {
    case v1::BatchGetDocumentsResponse::kFound:
      return IsDocument(response.found());
    case v1::BatchGetDocumentsResponse::kMissing:
      return IsDocumentName(response.missing());
    default:
      return false;
  }
}

bool WireValidator::IsSupportedQuery(const v1::Target::QueryTarget& query, std::string* collection) const {
  if (query.parent() != database_name_ + "/documents") return false;
  if (query.query_type_case() != v1::Target::QueryTarget::kStructuredQuery) return false;
  const auto& structured = query.structured_query();
  if (structured.from_size() != 1 || structured.from(0).all_descendants()) return false;
  const std::string& id = structured.from(0).collection_id();
  if (id.empty() || id.find('/') != std::string::npos) return false;
  if (structured.has_start_at() || structured.has_end_at() || structured.offset() != 0 ||
      structured.has_select())
    return false;
  if (structured.has_limit() && structured.limit().value() < 0) return false;
  std::set<std::string> inequalities;
  if (structured.has_where() && !IsFilter(structured.where(), &inequalities, 0)) return false;
  if (inequalities.size() > 1) return false;
  for (int i = 0; i < structured.order_by_size(); ++i) {
    const auto& order = structured.order_by(i);
    // Ordering by the key is how every query ends; filtering on it is not supported.
    if (!IsFieldPath(order.field().field_path())) return false;
    if (order.direction() != v1::StructuredQuery::ASCENDING &&
        order.direction() != v1::StructuredQuery::DESCENDING)
      return false;
    if (i == 0 && !inequalities.empty() && order.field().field_path() != *inequalities.begin()) return false;
  }
  *collection = id;
  return true;
}

bool WireValidator::IsFilter(const v1::StructuredQuery::Filter& filter, std::set<std::string>* inequalities,
                             int depth) const {
  if (depth > 5) return false;
  switch (filter.filter_type_case()) {
    case v1::StructuredQuery::Filter::kCompositeFilter:
      if (filter.composite_filter().op() != v1::StructuredQuery::CompositeFilter::AND) return false;
      for (const auto& sub : filter.composite_filter().filters())
        if (!IsFilter(sub, inequalities, depth + 1)) return false;
      return true;
    case v1::StructuredQuery::Filter::kFieldFilter: {
      const auto& field_filter = filter.field_filter();
      if (!IsPlainField(field_filter.field().field_path()) || !IsValue(field_filter.value())) return false;
      switch (field_filter.op()) {
        case v1::StructuredQuery::FieldFilter::LESS_THAN:
        case v1::StructuredQuery::FieldFilter::LESS_THAN_OR_EQUAL:
        case v1::StructuredQuery::FieldFilter::GREATER_THAN:
        case v1::StructuredQuery::FieldFilter::GREATER_THAN_OR_EQUAL:
          inequalities->insert(field_filter.field().field_path());
          return true;
        case v1::StructuredQuery::FieldFilter::EQUAL:
        case v1::StructuredQuery::FieldFilter::ARRAY_CONTAINS:
          return true;
        default:
          return false;
      }
    }
    case v1::StructuredQuery::Filter::kUnaryFilter: {
      const auto& unary = filter.unary_filter();
      if (!unary.has_field() || !IsPlainField(unary.field().field_path())) return false;
      return unary.op() == v1::StructuredQuery::UnaryFilter::IS_NAN ||
             unary.op() == v1::StructuredQuery::UnaryFilter::IS_NULL;
    }
    default:
      return false;
  }
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
