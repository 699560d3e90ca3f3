#ifndef DAVEDOVE_VERORARIV_API_DAVFIELDVALUECONVERTER_H_
#define DAVEDOVE_VERORARIV_API_DAVFIELDVALUECONVERTER_H_

#include <cstdint>
#include <memory>

#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/document_key.h"

// How a snapshot shows a server timestamp that the server has not filled in yet.
enum class DAVServerTimestampBehavior : int32_t {
  // As null.
  None = 0,
  // As the local time of the write.
  Estimate = 1,
  // As the field's value before the write.
  Previous = 2,
};

class DAVVerorariv;

// Turns the field values of one snapshot's document into the application's plain values.
class DAVFieldValueConverter {
 public:
  // `verorariv` is the snapshot's database instance, `documentKey` the snapshot's document;
  // `timestampsInSnapshotsEnabled` is the instance's setting.
  DAVFieldValueConverter(std::shared_ptr<DAVVerorariv> verorariv, bool timestampsInSnapshotsEnabled,
                         davedove::verorariv::model::DocumentKey documentKey);

  // The options for `behavior` under this database's setting; an unknown behavior stops the
  // process.
  davedove::verorariv::model::VRVFieldValueOptions optionsForServerTimestampBehavior(
      DAVServerTimestampBehavior behavior) const;

  // Objects entry by entry, arrays element by element, references as DAVDocumentReference of the
  // snapshot's instance, every other value by its own conversion under `options`.
  DAVValue convertedValue(const davedove::verorariv::model::VRVFieldValue& value,
                          const davedove::verorariv::model::VRVFieldValueOptions& options) const;
  DAVValue::Map convertedObject(
      const davedove::verorariv::model::VRVObjectValue& object,
      const davedove::verorariv::model::VRVFieldValueOptions& options) const;
  DAVValue::Array convertedArray(
      const davedove::verorariv::model::VRVArrayValue& array,
      const davedove::verorariv::model::VRVFieldValueOptions& options) const;

 private:
  DAVValue convertedReference(const davedove::verorariv::model::VRVReferenceValue& reference) const;
  DAVValue convertedPlatformValue(const platform::Value& value) const;

  std::shared_ptr<DAVVerorariv> verorariv_;
  bool timestampsInSnapshotsEnabled_;
  davedove::verorariv::model::DocumentKey documentKey_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVFIELDVALUECONVERTER_H_
