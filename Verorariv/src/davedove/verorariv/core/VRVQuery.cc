#include "davedove/verorariv/core/VRVQuery.h"

#include <cmath>
#include <functional>
#include <typeinfo>

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace core {

using model::DocumentKey;
using model::FieldPath;
using model::FieldValuePtr;
using model::ResourcePath;
using model::VRVDocument;
using util::ComparisonResult;

namespace {

ComparisonResult Reverse(ComparisonResult result) {
  return static_cast<ComparisonResult>(-static_cast<int>(result));
}

const char* OperatorText(VRVRelationFilterOperator op) {
  switch (op) {
    case VRVRelationFilterOperator::LessThan:
      return "<";
    case VRVRelationFilterOperator::LessThanOrEqual:
      return "<=";
    case VRVRelationFilterOperator::Equal:
      return "==";
    case VRVRelationFilterOperator::GreaterThanOrEqual:
      return ">=";
    case VRVRelationFilterOperator::GreaterThan:
      return ">";
    case VRVRelationFilterOperator::ArrayContains:
      return "array_contains";
  }
  HARD_FAIL("Unknown VRVRelationFilterOperator %s", op);
}

bool IsNaNValue(const model::VRVFieldValue* value) {
  auto number = dynamic_cast<const model::VRVDoubleValue*>(value);
  return number && std::isnan(number->internalValue());
}

}  // namespace

// VRVFilter

FilterPtr VRVFilter::filterWithField(const FieldPath& field, VRVRelationFilterOperator op,
                                     FieldValuePtr value) {
  if (op == VRVRelationFilterOperator::Equal) {
    if (dynamic_cast<const model::VRVNullValue*>(value.get())) {
      return std::make_shared<const VRVNullFilter>(field);
    }
    if (IsNaNValue(value.get())) {
      return std::make_shared<const VRVNanFilter>(field);
    }
  }
  return std::make_shared<const VRVRelationFilter>(field, op, std::move(value));
}

// VRVRelationFilter

VRVRelationFilter::VRVRelationFilter(FieldPath field, VRVRelationFilterOperator op,
                                     FieldValuePtr value)
    : field_(std::move(field)), op_(op), value_(std::move(value)) {
  HARD_ASSERT(value_, "A relation filter needs a value");
}

bool VRVRelationFilter::matchesDocument(const VRVDocument& document) const {
  if (field_.IsKeyFieldPath()) {
    auto reference = dynamic_cast<const model::VRVReferenceValue*>(value_.get());
    HARD_ASSERT(reference, "Comparing on key, but filter value not a VRVReferenceValue.");
    HARD_ASSERT(op_ != VRVRelationFilterOperator::ArrayContains,
                "arrayContains queries don't make sense on document keys.");
    return matchesComparison(util::Compare(document.key(), reference->key()));
  }

  FieldValuePtr other = document.fieldForPath(field_);
  if (op_ == VRVRelationFilterOperator::ArrayContains) {
    auto array = dynamic_cast<const model::VRVArrayValue*>(other.get());
    if (!array) return false;
    for (const FieldValuePtr& element : array->internalValue()) {
      if (element->isEqual(*value_)) return true;
    }
    return false;
  }
  // Only values of the same kind compare: 1 < "a" matches nothing.
  return other && other->typeOrder() == value_->typeOrder() &&
         matchesComparison(other->compare(*value_));
}

bool VRVRelationFilter::matchesComparison(ComparisonResult comparison) const {
  switch (op_) {
    case VRVRelationFilterOperator::LessThan:
      return comparison == ComparisonResult::Ascending;
    case VRVRelationFilterOperator::LessThanOrEqual:
      return comparison != ComparisonResult::Descending;
    case VRVRelationFilterOperator::Equal:
      return comparison == ComparisonResult::Same;
    case VRVRelationFilterOperator::GreaterThanOrEqual:
      return comparison != ComparisonResult::Ascending;
    case VRVRelationFilterOperator::GreaterThan:
      return comparison == ComparisonResult::Descending;
    case VRVRelationFilterOperator::ArrayContains:
      break;
  }
  HARD_FAIL("Unknown operator for comparison: %s", op_);
}

std::string VRVRelationFilter::canonicalID() const {
  return absl::StrCat(field_.CanonicalString(), OperatorText(op_), value_->ToString());
}

bool VRVRelationFilter::isEqual(const VRVFilter& other) const {
  auto relation = dynamic_cast<const VRVRelationFilter*>(&other);
  return relation && relation->op_ == op_ && relation->field_ == field_ &&
         relation->value_->isEqual(*value_);
}

size_t VRVRelationFilter::Hash() const {
  size_t result = field_.Hash();
  result = 31 * result + static_cast<size_t>(op_);
  return 31 * result + value_->Hash();
}

bool VRVRelationFilter::isInequality() const {
  return op_ != VRVRelationFilterOperator::Equal &&
         op_ != VRVRelationFilterOperator::ArrayContains;
}

// VRVNanFilter

bool VRVNanFilter::matchesDocument(const VRVDocument& document) const {
  FieldValuePtr value = document.fieldForPath(field_);
  return IsNaNValue(value.get());
}

std::string VRVNanFilter::canonicalID() const {
  return absl::StrCat(field_.CanonicalString(), " IS NaN");
}

bool VRVNanFilter::isEqual(const VRVFilter& other) const {
  auto nan = dynamic_cast<const VRVNanFilter*>(&other);
  return nan && nan->field_ == field_;
}

size_t VRVNanFilter::Hash() const { return field_.Hash(); }

// VRVNullFilter

bool VRVNullFilter::matchesDocument(const VRVDocument& document) const {
  FieldValuePtr value = document.fieldForPath(field_);
  return value && dynamic_cast<const model::VRVNullValue*>(value.get()) != nullptr;
}

std::string VRVNullFilter::canonicalID() const {
  return absl::StrCat(field_.CanonicalString(), " IS NULL");
}

bool VRVNullFilter::isEqual(const VRVFilter& other) const {
  auto null = dynamic_cast<const VRVNullFilter*>(&other);
  return null && null->field_ == field_;
}

size_t VRVNullFilter::Hash() const { return 31 * field_.Hash() + 1; }

// VRVSortOrder

ComparisonResult VRVSortOrder::compareDocument(const VRVDocument& document1,
                                               const VRVDocument& document2) const {
  ComparisonResult result;
  if (field_.IsKeyFieldPath()) {
    result = util::Compare(document1.key(), document2.key());
  } else {
    FieldValuePtr value1 = document1.fieldForPath(field_);
    FieldValuePtr value2 = document2.fieldForPath(field_);
    HARD_ASSERT(value1 && value2, "Trying to compare documents on fields that don't exist.");
    result = value1->compare(*value2);
  }
  return ascending_ ? result : Reverse(result);
}

std::string VRVSortOrder::canonicalID() const {
  return absl::StrCat(field_.CanonicalString(), ascending_ ? "asc" : "desc");
}

std::string VRVSortOrder::ToString() const {
  return util::StringFormat("<VRVSortOrder: path:%s dir:%s>", field_.CanonicalString(),
                            ascending_ ? "asc" : "desc");
}

size_t VRVSortOrder::Hash() const { return 31 * field_.Hash() + (ascending_ ? 1 : 0); }

// VRVBound

bool VRVBound::sortsBeforeDocument(const VRVDocument& document,
                                   const std::vector<VRVSortOrder>& sortOrders) const {
  HARD_ASSERT(position_.size() <= sortOrders.size(),
              "VRVIndexPosition has more components than provided sort order.");
  ComparisonResult result = ComparisonResult::Same;
  for (size_t i = 0; i < position_.size(); ++i) {
    const VRVSortOrder& sortOrder = sortOrders[i];
    const FieldValuePtr& value = position_[i];
    if (sortOrder.field().IsKeyFieldPath()) {
      auto reference = dynamic_cast<const model::VRVReferenceValue*>(value.get());
      HARD_ASSERT(reference, "VRVBound has a non-key value where the key path is being used %s",
                  value);
      result = util::Compare(reference->key(), document.key());
    } else {
      FieldValuePtr documentValue = document.fieldForPath(sortOrder.field());
      HARD_ASSERT(documentValue, "Field should exist since document matched the orderBy already.");
      result = value->compare(*documentValue);
    }
    if (!sortOrder.isAscending()) result = Reverse(result);
    if (result != ComparisonResult::Same) break;
  }
  return before_ ? result != ComparisonResult::Descending : result == ComparisonResult::Ascending;
}

std::string VRVBound::canonicalString() const {
  std::string text = before_ ? "b:" : "a:";
  bool first = true;
  for (const FieldValuePtr& value : position_) {
    if (!first) text += ",";
    first = false;
    text += value->ToString();
  }
  return text;
}

std::string VRVBound::ToString() const {
  return util::StringFormat("<VRVBound: position:%s before:%s>", canonicalString(), before_);
}

size_t VRVBound::Hash() const {
  size_t result = before_ ? 1 : 0;
  for (const FieldValuePtr& value : position_) result = 31 * result + value->Hash();
  return result;
}

bool operator==(const VRVBound& lhs, const VRVBound& rhs) {
  if (lhs.before_ != rhs.before_ || lhs.position_.size() != rhs.position_.size()) return false;
  for (size_t i = 0; i < lhs.position_.size(); ++i) {
    if (!model::FieldValueEquals(lhs.position_[i], rhs.position_[i])) return false;
  }
  return true;
}

// VRVQuery

QueryPtr VRVQuery::queryWithPath(ResourcePath path) {
  return std::make_shared<const VRVQuery>(std::move(path), std::nullopt, std::vector<FilterPtr>{},
                                          std::vector<VRVSortOrder>{}, kNoLimit, std::nullopt,
                                          std::nullopt);
}

QueryPtr VRVQuery::queryWithPath(ResourcePath path, std::string collectionGroup) {
  return std::make_shared<const VRVQuery>(std::move(path), std::move(collectionGroup),
                                          std::vector<FilterPtr>{}, std::vector<VRVSortOrder>{},
                                          kNoLimit, std::nullopt, std::nullopt);
}

VRVQuery::VRVQuery(ResourcePath path, std::optional<std::string> collectionGroup,
                   std::vector<FilterPtr> filters, std::vector<VRVSortOrder> explicitSortOrders,
                   int32_t limit, std::optional<VRVBound> startAt, std::optional<VRVBound> endAt)
    : path_(std::move(path)),
      collectionGroup_(std::move(collectionGroup)),
      filters_(std::move(filters)),
      explicitSortOrders_(std::move(explicitSortOrders)),
      limit_(limit),
      startAt_(std::move(startAt)),
      endAt_(std::move(endAt)) {
  sortOrders_ = computeSortOrders();
  canonicalID_ = computeCanonicalID();
}

bool VRVQuery::isDocumentQuery() const {
  return DocumentKey::IsDocumentKey(path_) && !collectionGroup_ && filters_.empty();
}

const FieldPath* VRVQuery::inequalityFilterField() const {
  for (const FilterPtr& filter : filters_) {
    if (filter->isInequality()) return &filter->field();
  }
  return nullptr;
}

const FieldPath* VRVQuery::firstSortOrderField() const {
  return explicitSortOrders_.empty() ? nullptr : &explicitSortOrders_.front().field();
}

std::vector<VRVSortOrder> VRVQuery::computeSortOrders() const {
  const FieldPath& key = FieldPath::KeyFieldPath();
  if (explicitSortOrders_.empty()) {
    // Results of an inequality come in the order of its field.
    const FieldPath* inequality = inequalityFilterField();
    if (inequality && !inequality->IsKeyFieldPath()) {
      return {VRVSortOrder(*inequality, true), VRVSortOrder(key, true)};
    }
    return {VRVSortOrder(key, true)};
  }
  std::vector<VRVSortOrder> result = explicitSortOrders_;
  bool foundKey = false;
  for (const VRVSortOrder& order : explicitSortOrders_) {
    if (order.field().IsKeyFieldPath()) foundKey = true;
  }
  if (!foundKey) {
    // The key breaks ties, in the direction of the last explicit order.
    result.emplace_back(key, explicitSortOrders_.back().isAscending());
  }
  return result;
}

std::string VRVQuery::computeCanonicalID() const {
  std::string id = path_.CanonicalString();
  if (collectionGroup_) absl::StrAppend(&id, "|cg:", *collectionGroup_);
  id += "|f:";
  for (const FilterPtr& filter : filters_) id += filter->canonicalID();
  id += "|ob:";
  for (const VRVSortOrder& order : sortOrders_) id += order.canonicalID();
  if (hasLimit()) absl::StrAppend(&id, "|l:", limit_);
  if (startAt_) absl::StrAppend(&id, "|lb:", startAt_->canonicalString());
  if (endAt_) absl::StrAppend(&id, "|ub:", endAt_->canonicalString());
  return id;
}

QueryPtr VRVQuery::queryByAddingFilter(FilterPtr filter) const {
  HARD_ASSERT(!isDocumentQuery(), "No filtering allowed for document query");
  if (filter->isInequality()) {
    const FieldPath* existing = inequalityFilterField();
    HARD_ASSERT(!existing || *existing == filter->field(),
                "Query must only have one inequality field.");
  }
  std::vector<FilterPtr> filters = filters_;
  filters.push_back(std::move(filter));
  return std::make_shared<const VRVQuery>(path_, collectionGroup_, std::move(filters),
                                          explicitSortOrders_, limit_, startAt_, endAt_);
}

QueryPtr VRVQuery::queryByAddingSortOrder(VRVSortOrder sortOrder) const {
  HARD_ASSERT(!isDocumentQuery(), "No ordering is allowed for document query");
  std::vector<VRVSortOrder> orders = explicitSortOrders_;
  orders.push_back(std::move(sortOrder));
  return std::make_shared<const VRVQuery>(path_, collectionGroup_, filters_, std::move(orders),
                                          limit_, startAt_, endAt_);
}

QueryPtr VRVQuery::queryBySettingLimit(int32_t limit) const {
  return std::make_shared<const VRVQuery>(path_, collectionGroup_, filters_, explicitSortOrders_,
                                          limit, startAt_, endAt_);
}

QueryPtr VRVQuery::queryByAddingStartAt(VRVBound bound) const {
  return std::make_shared<const VRVQuery>(path_, collectionGroup_, filters_, explicitSortOrders_,
                                          limit_, std::move(bound), endAt_);
}

QueryPtr VRVQuery::queryByAddingEndAt(VRVBound bound) const {
  return std::make_shared<const VRVQuery>(path_, collectionGroup_, filters_, explicitSortOrders_,
                                          limit_, startAt_, std::move(bound));
}

QueryPtr VRVQuery::collectionQueryAtPath(ResourcePath path) const {
  return std::make_shared<const VRVQuery>(std::move(path), std::nullopt, filters_,
                                          explicitSortOrders_, limit_, startAt_, endAt_);
}

bool VRVQuery::matchesDocument(const VRVDocument& document) const {
  return pathAndCollectionGroupMatchDocument(document) && orderByMatchesDocument(document) &&
         filtersMatchDocument(document) && boundsMatchDocument(document);
}

bool VRVQuery::pathAndCollectionGroupMatchDocument(const VRVDocument& document) const {
  return pathAndCollectionGroupMatchKey(document.key());
}

bool VRVQuery::pathAndCollectionGroupMatchKey(const DocumentKey& key) const {
  const ResourcePath& documentPath = key.path();
  if (collectionGroup_) {
    // A document of a collection with the group's id anywhere below the query's path.
    return documentPath.size() >= 2 &&
           documentPath[documentPath.size() - 2] == *collectionGroup_ &&
           path_.IsPrefixOf(documentPath);
  }
  if (DocumentKey::IsDocumentKey(path_)) return path_ == documentPath;
  // Directly in the collection, not in one of its subcollections.
  return path_.IsPrefixOf(documentPath) && path_.size() + 1 == documentPath.size();
}

bool VRVQuery::orderByMatchesDocument(const VRVDocument& document) const {
  for (const VRVSortOrder& order : sortOrders_) {
    // Documents without an order-by field are not in the result.
    if (!order.field().IsKeyFieldPath() && !document.fieldForPath(order.field())) return false;
  }
  return true;
}

bool VRVQuery::filtersMatchDocument(const VRVDocument& document) const {
  for (const FilterPtr& filter : filters_) {
    if (!filter->matchesDocument(document)) return false;
  }
  return true;
}

bool VRVQuery::boundsMatchDocument(const VRVDocument& document) const {
  if (startAt_ && !startAt_->sortsBeforeDocument(document, sortOrders_)) return false;
  if (endAt_ && endAt_->sortsBeforeDocument(document, sortOrders_)) return false;
  return true;
}

model::DocumentCompareCallback VRVQuery::comparator() const {
  std::vector<VRVSortOrder> orders = sortOrders_;
  return [orders](const VRVDocument& document1, const VRVDocument& document2) {
    return compareDocuments(orders, document1, document2);
  };
}

ComparisonResult VRVQuery::compareDocuments(const std::vector<VRVSortOrder>& sortOrders,
                                            const VRVDocument& document1,
                                            const VRVDocument& document2) {
  bool didCompareOnKeyField = false;
  for (const VRVSortOrder& order : sortOrders) {
    ComparisonResult result = order.compareDocument(document1, document2);
    if (result != ComparisonResult::Same) return result;
    didCompareOnKeyField = didCompareOnKeyField || order.field().IsKeyFieldPath();
  }
  HARD_ASSERT(didCompareOnKeyField, "sortOrder of query did not include key ordering");
  return ComparisonResult::Same;
}

size_t VRVQuery::Hash() const { return std::hash<std::string>()(canonicalID_); }

std::string VRVQuery::ToString() const {
  return util::StringFormat("<VRVQuery: canonicalID=%s>", canonicalID_);
}

bool VRVQuery::isEqualToQuery(const VRVQuery& other) const {
  if (path_ != other.path_ || collectionGroup_ != other.collectionGroup_ ||
      limit_ != other.limit_ || sortOrders_ != other.sortOrders_ ||
      startAt_ != other.startAt_ || endAt_ != other.endAt_ ||
      filters_.size() != other.filters_.size()) {
    return false;
  }
  for (size_t i = 0; i < filters_.size(); ++i) {
    if (!filters_[i]->isEqual(*other.filters_[i])) return false;
  }
  return true;
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
