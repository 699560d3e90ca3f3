#ifndef DAVEDOVE_VERORARIV_API_DAVUSERDATACONVERTER_H_
#define DAVEDOVE_VERORARIV_API_DAVUSERDATACONVERTER_H_

#include <vector>

#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/field_mask.h"
#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/model/field_transform.h"

// Turns the application's values into the database's field values and its writes into
// mutations: plain values become the document's data, sentinels become field masks (delete)
// and field transforms (server timestamp, array union and remove). Misuse raises
// DAVInvalidArgumentException.
class DAVUserDataConverter {
 public:
  explicit DAVUserDataConverter(davedove::verorariv::model::DatabaseId databaseID)
      : databaseID_(std::move(databaseID)) {}

  // The whole document replaced.
  std::vector<davedove::verorariv::model::MutationPtr> setMutations(
      const DAVValue::Map& data, const davedove::verorariv::model::DocumentKey& key) const;
  // Only the given fields (leaf by leaf); the document is made when missing.
  std::vector<davedove::verorariv::model::MutationPtr> mergeMutations(
      const DAVValue::Map& data, const davedove::verorariv::model::DocumentKey& key) const;
  // The named fields (dot-separated paths), on condition that the document exists.
  std::vector<davedove::verorariv::model::MutationPtr> updateMutations(
      const DAVValue::Map& fields, const davedove::verorariv::model::DocumentKey& key) const;

  // A plain value for a query; sentinels are refused.
  davedove::verorariv::model::FieldValuePtr parsedQueryValue(const DAVValue& value) const;

 private:
  enum class Source { Set, MergeSet, Update, Argument };

  struct Context {
    Source source;
    std::vector<davedove::verorariv::model::FieldPath> mask;
    std::vector<davedove::verorariv::model::FieldTransform> transforms;
  };

  // Null for a sentinel, which leaves no value behind.
  davedove::verorariv::model::FieldValuePtr parseData(
      const DAVValue& value, const davedove::verorariv::model::FieldPath& path, bool inArray,
      Context& context) const;
  davedove::verorariv::model::ObjectValuePtr parseMap(
      const DAVValue::Map& map, const davedove::verorariv::model::FieldPath& path, Context& context) const;
  void parseSentinel(const DAVFieldValue& sentinel,
                     const davedove::verorariv::model::FieldPath& path, bool inArray,
                     Context& context) const;
  davedove::verorariv::model::FieldValuePtr parsePlainValue(const DAVValue& value) const;

  static void appendTransform(std::vector<davedove::verorariv::model::MutationPtr>& mutations,
                              const davedove::verorariv::model::DocumentKey& key,
                              Context& context);

  davedove::verorariv::model::DatabaseId databaseID_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVUSERDATACONVERTER_H_
