#ifndef DAVEDOVE_VERORARIV_API_DAVDOCUMENTSNAPSHOT_H_
#define DAVEDOVE_VERORARIV_API_DAVDOCUMENTSNAPSHOT_H_

#include <memory>
#include <optional>
#include <string>

#include "davedove/verorariv/api/DAVFieldPath.h"
#include "davedove/verorariv/api/DAVFieldValueConverter.h"
#include "davedove/verorariv/api/DAVSnapshotMetadata.h"
#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/document_key.h"

class DAVVerorariv;
class DAVDocumentReference;

// A document as it was when the snapshot was taken, or its absence.
class DAVDocumentSnapshot {
 public:
  // `document` is null when the document does not exist.
  DAVDocumentSnapshot(std::shared_ptr<DAVVerorariv> verorariv,
                      davedove::verorariv::model::DocumentKey key,
                      davedove::verorariv::model::DocumentPtr document, DAVSnapshotMetadata metadata);
  virtual ~DAVDocumentSnapshot() = default;

  bool exists() const { return document_ != nullptr; }
  // The fields by name; none when the document does not exist. Server timestamps not yet filled in
  // read as null.
  std::optional<DAVValue::Map> data() const;
  std::optional<DAVValue::Map> dataWithServerTimestampBehavior(
      DAVServerTimestampBehavior behavior) const;

  // The value of a field (a dot-separated path), or none when it is missing.
  std::optional<DAVValue> valueForField(const std::string& field) const;
  std::optional<DAVValue> valueForField(const DAVFieldPath& field) const;

  // The keyed subscript: a field name or a DAVFieldPath.
  std::optional<DAVValue> operator[](const std::string& field) const { return valueForField(field); }
  std::optional<DAVValue> operator[](const DAVFieldPath& field) const { return valueForField(field); }
  // A text key is a field name; any other key raises DAVInvalidArgumentException.
  std::optional<DAVValue> objectForKeyedSubscript(const DAVValue& key) const;

  // The last segment of the document's path.
  std::string documentID() const;
  std::shared_ptr<DAVDocumentReference> reference() const;
  const DAVSnapshotMetadata& metadata() const { return metadata_; }

  davedove::verorariv::model::VRVFieldValueOptions optionsForServerTimestampBehavior(
      DAVServerTimestampBehavior behavior) const;
  DAVValue convertedValue(const davedove::verorariv::model::VRVFieldValue& value,
                          const davedove::verorariv::model::VRVFieldValueOptions& options) const;

  const davedove::verorariv::model::DocumentPtr& internalDocument() const { return document_; }

  friend bool operator==(const DAVDocumentSnapshot& lhs, const DAVDocumentSnapshot& rhs);

 private:
  DAVFieldValueConverter converter() const;

  std::shared_ptr<DAVVerorariv> verorariv_;
  davedove::verorariv::model::DocumentKey key_;
  davedove::verorariv::model::DocumentPtr document_;
  DAVSnapshotMetadata metadata_;
};

// A document of a query's result: it always exists.
class DAVQueryDocumentSnapshot : public DAVDocumentSnapshot {
 public:
  DAVQueryDocumentSnapshot(std::shared_ptr<DAVVerorariv> verorariv,
                           davedove::verorariv::model::DocumentPtr document,
                           DAVSnapshotMetadata metadata);

  DAVValue::Map data() const;
  DAVValue::Map dataWithServerTimestampBehavior(DAVServerTimestampBehavior behavior) const;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVDOCUMENTSNAPSHOT_H_
