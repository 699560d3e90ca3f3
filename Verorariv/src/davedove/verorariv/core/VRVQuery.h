#ifndef DAVEDOVE_VERORARIV_CORE_VRVQUERY_H_
#define DAVEDOVE_VERORARIV_CORE_VRVQUERY_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/document_set.h"
#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/model/resource_path.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace core {

class VRVFilter;
class VRVQuery;
using FilterPtr = std::shared_ptr<const VRVFilter>;
using QueryPtr = std::shared_ptr<const VRVQuery>;

enum class VRVRelationFilterOperator : int32_t {
  LessThan = 0,
  LessThanOrEqual = 1,
  Equal = 2,
  GreaterThanOrEqual = 3,
  GreaterThan = 4,
  ArrayContains = 5,
};

// A condition on one field of a document. Immutable; held by shared pointer.
class VRVFilter {
 public:
  // The filter `field op value`; equality with null or NaN gives the null or NaN filter.
  static FilterPtr filterWithField(const model::FieldPath& field, VRVRelationFilterOperator op,
                                   model::FieldValuePtr value);

  virtual ~VRVFilter() = default;

  virtual const model::FieldPath& field() const = 0;
  virtual bool matchesDocument(const model::VRVDocument& document) const = 0;
  // A text identifying the filter inside a query's canonical id.
  virtual std::string canonicalID() const = 0;
  virtual bool isEqual(const VRVFilter& other) const = 0;
  virtual size_t Hash() const = 0;
  virtual std::string ToString() const { return canonicalID(); }
  // Whether the filter orders (<, <=, >, >=) rather than matches.
  virtual bool isInequality() const { return false; }

  friend bool operator==(const VRVFilter& lhs, const VRVFilter& rhs) { return lhs.isEqual(rhs); }
  friend bool operator!=(const VRVFilter& lhs, const VRVFilter& rhs) { return !lhs.isEqual(rhs); }
};

// Compares a field with a value; on the key field the value is a reference.
class VRVRelationFilter : public VRVFilter {
 public:
  VRVRelationFilter(model::FieldPath field, VRVRelationFilterOperator op,
                    model::FieldValuePtr value);

  const model::FieldPath& field() const override { return field_; }
  VRVRelationFilterOperator filterOperator() const { return op_; }
  const model::FieldValuePtr& value() const { return value_; }

  bool matchesDocument(const model::VRVDocument& document) const override;
  std::string canonicalID() const override;
  bool isEqual(const VRVFilter& other) const override;
  size_t Hash() const override;
  bool isInequality() const override;

 private:
  bool matchesComparison(util::ComparisonResult comparison) const;

  model::FieldPath field_;
  VRVRelationFilterOperator op_;
  model::FieldValuePtr value_;
};

// Matches documents whose field holds NaN.
class VRVNanFilter : public VRVFilter {
 public:
  explicit VRVNanFilter(model::FieldPath field) : field_(std::move(field)) {}

  const model::FieldPath& field() const override { return field_; }
  bool matchesDocument(const model::VRVDocument& document) const override;
  std::string canonicalID() const override;
  bool isEqual(const VRVFilter& other) const override;
  size_t Hash() const override;

 private:
  model::FieldPath field_;
};

// Matches documents whose field holds null.
class VRVNullFilter : public VRVFilter {
 public:
  explicit VRVNullFilter(model::FieldPath field) : field_(std::move(field)) {}

  const model::FieldPath& field() const override { return field_; }
  bool matchesDocument(const model::VRVDocument& document) const override;
  std::string canonicalID() const override;
  bool isEqual(const VRVFilter& other) const override;
  size_t Hash() const override;

 private:
  model::FieldPath field_;
};

// Orders documents by one field (or by key), ascending or descending.
class VRVSortOrder {
 public:
  VRVSortOrder(model::FieldPath field, bool ascending)
      : field_(std::move(field)), ascending_(ascending) {}
  static VRVSortOrder sortOrderWithFieldPath(model::FieldPath field, bool ascending) {
    return VRVSortOrder(std::move(field), ascending);
  }

  const model::FieldPath& field() const { return field_; }
  bool isAscending() const { return ascending_; }

  // Both documents must hold the field (a query's documents pass its order-by first).
  util::ComparisonResult compareDocument(const model::VRVDocument& document1,
                                         const model::VRVDocument& document2) const;

  // "<field>asc" or "<field>desc".
  std::string canonicalID() const;
  std::string ToString() const;
  size_t Hash() const;

  friend bool operator==(const VRVSortOrder& lhs, const VRVSortOrder& rhs) {
    return lhs.ascending_ == rhs.ascending_ && lhs.field_ == rhs.field_;
  }
  friend bool operator!=(const VRVSortOrder& lhs, const VRVSortOrder& rhs) { return !(lhs == rhs); }

 private:
  model::FieldPath field_;
  bool ascending_;
};

// A position in a query's order: one value per sort order (a reference for the key order), just
// before the position or just after it.
class VRVBound {
 public:
  VRVBound(std::vector<model::FieldValuePtr> position, bool isBefore)
      : position_(std::move(position)), before_(isBefore) {}
  static VRVBound boundWithPosition(std::vector<model::FieldValuePtr> position, bool isBefore) {
    return VRVBound(std::move(position), isBefore);
  }

  const std::vector<model::FieldValuePtr>& position() const { return position_; }
  bool isBefore() const { return before_; }

  // Whether the bound lies before `document` in the order of `sortOrders`.
  bool sortsBeforeDocument(const model::VRVDocument& document,
                           const std::vector<VRVSortOrder>& sortOrders) const;

  // "b:" or "a:" followed by the position's values separated by ",".
  std::string canonicalString() const;
  std::string ToString() const;
  size_t Hash() const;

  friend bool operator==(const VRVBound& lhs, const VRVBound& rhs);
  friend bool operator!=(const VRVBound& lhs, const VRVBound& rhs) { return !(lhs == rhs); }

 private:
  std::vector<model::FieldValuePtr> position_;
  bool before_;
};

// An immutable query over one collection, one document or a collection group. Held by shared
// pointer; every builder returns a new query.
class VRVQuery {
 public:
  // The limit of a query without one.
  static constexpr int32_t kNoLimit = std::numeric_limits<int32_t>::max();

  static QueryPtr queryWithPath(model::ResourcePath path);
  static QueryPtr queryWithPath(model::ResourcePath path, std::string collectionGroup);

  VRVQuery(model::ResourcePath path, std::optional<std::string> collectionGroup,
           std::vector<FilterPtr> filters, std::vector<VRVSortOrder> explicitSortOrders,
           int32_t limit, std::optional<VRVBound> startAt, std::optional<VRVBound> endAt);

  const model::ResourcePath& path() const { return path_; }
  const std::optional<std::string>& collectionGroup() const { return collectionGroup_; }
  const std::vector<FilterPtr>& filters() const { return filters_; }
  // The orders given by the caller.
  const std::vector<VRVSortOrder>& explicitSortOrders() const { return explicitSortOrders_; }
  // The orders the query sorts by: the explicit ones (or the inequality field), then the key.
  const std::vector<VRVSortOrder>& sortOrders() const { return sortOrders_; }
  int32_t limit() const { return limit_; }
  bool hasLimit() const { return limit_ != kNoLimit; }
  const std::optional<VRVBound>& startAt() const { return startAt_; }
  const std::optional<VRVBound>& endAt() const { return endAt_; }

  bool isDocumentQuery() const;
  bool isCollectionGroupQuery() const { return collectionGroup_.has_value(); }

  // The field of the first inequality filter, or null.
  const model::FieldPath* inequalityFilterField() const;
  // The field of the first explicit sort order, or null.
  const model::FieldPath* firstSortOrderField() const;

  QueryPtr queryByAddingFilter(FilterPtr filter) const;
  QueryPtr queryByAddingSortOrder(VRVSortOrder sortOrder) const;
  QueryPtr queryBySettingLimit(int32_t limit) const;
  QueryPtr queryByAddingStartAt(VRVBound bound) const;
  QueryPtr queryByAddingEndAt(VRVBound bound) const;
  // The same filters, orders, limit and bounds over one collection, without a collection group.
  QueryPtr collectionQueryAtPath(model::ResourcePath path) const;

  // Path or group, then order-by, filters and bounds, stopping at the first that refuses.
  bool matchesDocument(const model::VRVDocument& document) const;
  // Whether a document with this key lies where the query looks (its path or group), whatever
  // the document holds.
  bool pathAndCollectionGroupMatchKey(const model::DocumentKey& key) const;

  // Orders documents by the sort orders; Same only for equal keys.
  model::DocumentCompareCallback comparator() const;
  // The comparison of the comparator: the first of `sortOrders` that tells the documents apart.
  // Stops the process when all of them compare Same without one being the key order.
  static util::ComparisonResult compareDocuments(const std::vector<VRVSortOrder>& sortOrders,
                                                 const model::VRVDocument& document1,
                                                 const model::VRVDocument& document2);

  // Path, group, filters, orders, limit and bounds as text; equal queries have equal ids.
  const std::string& canonicalID() const { return canonicalID_; }
  // The hash of the canonical id.
  size_t Hash() const;
  // "<VRVQuery: canonicalID=...>".
  std::string ToString() const;
  std::string description() const { return ToString(); }

  bool isEqualToQuery(const VRVQuery& other) const;
  friend bool operator==(const VRVQuery& lhs, const VRVQuery& rhs) {
    return &lhs == &rhs || lhs.isEqualToQuery(rhs);
  }
  friend bool operator!=(const VRVQuery& lhs, const VRVQuery& rhs) { return !(lhs == rhs); }

 private:
  bool pathAndCollectionGroupMatchDocument(const model::VRVDocument& document) const;
  bool orderByMatchesDocument(const model::VRVDocument& document) const;
  bool filtersMatchDocument(const model::VRVDocument& document) const;
  bool boundsMatchDocument(const model::VRVDocument& document) const;

  std::vector<VRVSortOrder> computeSortOrders() const;
  std::string computeCanonicalID() const;

  model::ResourcePath path_;
  std::optional<std::string> collectionGroup_;
  std::vector<FilterPtr> filters_;
  std::vector<VRVSortOrder> explicitSortOrders_;
  int32_t limit_;
  std::optional<VRVBound> startAt_;
  std::optional<VRVBound> endAt_;
  std::vector<VRVSortOrder> sortOrders_;
  std::string canonicalID_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_VRVQUERY_H_
