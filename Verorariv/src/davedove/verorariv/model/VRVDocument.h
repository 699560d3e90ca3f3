#ifndef DAVEDOVE_VERORARIV_MODEL_VRVDOCUMENT_H_
#define DAVEDOVE_VERORARIV_MODEL_VRVDOCUMENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/util/comparison.h"

// The wire message of one document. Only the serializer, which links the generated protocol-buffer
// classes, makes or reads it; here it is only kept.
namespace variru {
namespace verorariv {
namespace v1 {
class Document;
}  // namespace v1
}  // namespace verorariv
}  // namespace variru

namespace davedove {
namespace verorariv {
namespace model {

class VRVMaybeDocument;
class VRVDocument;
class VRVDeletedDocument;
class VRVUnknownDocument;

using MaybeDocumentPtr = std::shared_ptr<const VRVMaybeDocument>;
using DocumentPtr = std::shared_ptr<const VRVDocument>;
using DeletedDocumentPtr = std::shared_ptr<const VRVDeletedDocument>;
using UnknownDocumentPtr = std::shared_ptr<const VRVUnknownDocument>;
// The decoded wire message a document came from; null when it was not decoded from one.
using DocumentProtoPtr = std::shared_ptr<const variru::verorariv::v1::Document>;

// What the client knows of one document: its key and version. Immutable; held by shared pointer.
class VRVMaybeDocument : public std::enable_shared_from_this<VRVMaybeDocument> {
 public:
  // The empty key and version (0, 0).
  VRVMaybeDocument() : version_(SnapshotVersion::None()) {}
  VRVMaybeDocument(DocumentKey key, const SnapshotVersion& version)
      : key_(std::move(key)), version_(version) {}
  virtual ~VRVMaybeDocument() = default;

  const DocumentKey& key() const { return key_; }
  const SnapshotVersion& version() const { return version_; }

  // Raises the internal-inconsistency exception unless a subclass overrides it.
  virtual bool hasPendingWrites() const;

  // A bare instance is equal only to itself.
  virtual bool isEqual(const VRVMaybeDocument& other) const { return this == &other; }
  virtual size_t Hash() const;
  virtual std::string ToString() const;

  friend bool operator==(const VRVMaybeDocument& lhs, const VRVMaybeDocument& rhs) {
    return lhs.isEqual(rhs);
  }
  friend bool operator!=(const VRVMaybeDocument& lhs, const VRVMaybeDocument& rhs) {
    return !lhs.isEqual(rhs);
  }

 private:
  DocumentKey key_;
  SnapshotVersion version_;
};

// Where the data of an existing document comes from.
enum class DocumentState : int64_t {
  // Includes writes the server has not acknowledged yet.
  LocalMutations = 0,
  // The result of acknowledged writes, not yet confirmed by a server read.
  CommittedMutations = 1,
  // As the server sent it.
  Synced = 2,
};

// An existing document with its field data.
class VRVDocument : public VRVMaybeDocument {
 public:
  VRVDocument(ObjectValuePtr data, DocumentKey key, const SnapshotVersion& version,
              DocumentState state, DocumentProtoPtr proto = nullptr);

  static DocumentPtr documentWithData(ObjectValuePtr data, DocumentKey key,
                                      const SnapshotVersion& version, DocumentState state,
                                      DocumentProtoPtr proto = nullptr);

  const ObjectValuePtr& data() const { return data_; }
  DocumentState documentState() const { return documentState_; }
  // The wire message this document was decoded from, unchanged, or null.
  const DocumentProtoPtr& proto() const { return proto_; }

  bool hasLocalMutations() const { return documentState_ == DocumentState::LocalMutations; }
  bool hasCommittedMutations() const { return documentState_ == DocumentState::CommittedMutations; }
  bool hasPendingWrites() const override { return hasLocalMutations() || hasCommittedMutations(); }

  // The value at `path`, or null.
  FieldValuePtr fieldForPath(const FieldPath& path) const;

  // Key, version, state and data; the proto takes no part.
  bool isEqual(const VRVMaybeDocument& other) const override;
  size_t Hash() const override;
  std::string ToString() const override;

 private:
  ObjectValuePtr data_;
  DocumentState documentState_;
  DocumentProtoPtr proto_;
};

// A document known not to exist.
class VRVDeletedDocument : public VRVMaybeDocument {
 public:
  VRVDeletedDocument(DocumentKey key, const SnapshotVersion& version, bool hasCommittedMutations)
      : VRVMaybeDocument(std::move(key), version), hasCommittedMutations_(hasCommittedMutations) {}

  static DeletedDocumentPtr documentWithKey(DocumentKey key, const SnapshotVersion& version,
                                            bool hasCommittedMutations);

  bool hasCommittedMutations() const { return hasCommittedMutations_; }
  bool hasPendingWrites() const override { return hasCommittedMutations_; }

  bool isEqual(const VRVMaybeDocument& other) const override;
  size_t Hash() const override;
  std::string ToString() const override;

 private:
  bool hasCommittedMutations_;
};

// A document known to exist (from an acknowledged write) whose contents are unknown.
class VRVUnknownDocument : public VRVMaybeDocument {
 public:
  VRVUnknownDocument(DocumentKey key, const SnapshotVersion& version)
      : VRVMaybeDocument(std::move(key), version) {}

  static UnknownDocumentPtr documentWithKey(DocumentKey key, const SnapshotVersion& version);

  bool hasPendingWrites() const override { return true; }

  bool isEqual(const VRVMaybeDocument& other) const override;
  size_t Hash() const override;
  std::string ToString() const override;
};

// Three-way order of two documents of the family by key: the default order of document sets.
using DocumentComparator =
    std::function<util::ComparisonResult(const MaybeDocumentPtr&, const MaybeDocumentPtr&)>;
const DocumentComparator& DocumentComparatorByKey();

// The document as an existing document, or null for any other kind (or null).
inline const VRVDocument* AsDocument(const VRVMaybeDocument* maybeDoc) {
  return dynamic_cast<const VRVDocument*>(maybeDoc);
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_VRVDOCUMENT_H_
