#ifndef DAVEDOVE_VERORARIV_MODEL_VRVMUTATION_H_
#define DAVEDOVE_VERORARIV_MODEL_VRVMUTATION_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/model/DAVTimestamp.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/field_mask.h"
#include "davedove/verorariv/model/field_transform.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace model {

class VRVMutation;
using MutationPtr = std::shared_ptr<const VRVMutation>;

// The server's answer to one write: its commit version and, for a transform, one result per
// field transform.
class VRVMutationResult {
 public:
  VRVMutationResult(const SnapshotVersion& version,
                    std::optional<std::vector<FieldValuePtr>> transformResults)
      : version_(version), transformResults_(std::move(transformResults)) {}

  const SnapshotVersion& version() const { return version_; }
  // None for every kind but a transform.
  const std::optional<std::vector<FieldValuePtr>>& transformResults() const {
    return transformResults_;
  }

 private:
  SnapshotVersion version_;
  std::optional<std::vector<FieldValuePtr>> transformResults_;
};

// One write to one document. Immutable; held by shared pointer.
class VRVMutation {
 public:
  VRVMutation(DocumentKey key, Precondition precondition)
      : key_(std::move(key)), precondition_(std::move(precondition)) {}
  virtual ~VRVMutation() = default;

  const DocumentKey& key() const { return key_; }
  const Precondition& precondition() const { return precondition_; }

  // The document (or null) after this write in the local view, applied on top of `maybeDoc` like
  // the server applies it. `baseDoc` is the document before the batch's own mutations; no kind
  // reads it: what a write must keep from before its batch, the base mutations put in `maybeDoc`.
  virtual MaybeDocumentPtr applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                                const MaybeDocumentPtr& baseDoc,
                                                const DAVTimestamp& localWriteTime) const;
  // The document after the server acknowledged this write with `mutationResult`.
  virtual MaybeDocumentPtr applyToRemoteDocument(const MaybeDocumentPtr& maybeDoc,
                                                 const VRVMutationResult& mutationResult) const;
  // The fields the write touches, or null for the whole document.
  virtual const FieldMask* fieldMask() const;
  virtual bool idempotent() const;

  virtual bool isEqual(const VRVMutation& other) const = 0;
  virtual size_t Hash() const = 0;
  virtual std::string ToString() const = 0;

  friend bool operator==(const VRVMutation& lhs, const VRVMutation& rhs) {
    return lhs.isEqual(rhs);
  }
  friend bool operator!=(const VRVMutation& lhs, const VRVMutation& rhs) {
    return !lhs.isEqual(rhs);
  }

 protected:
  // Stops the process when a document of another key is handed in; null passes.
  void verifyKeyMatches(const VRVMaybeDocument* maybeDoc) const;
  // The document's version when it is an existing document, else the none version.
  static SnapshotVersion postMutationVersionForDocument(const VRVMaybeDocument* maybeDoc);

 private:
  DocumentKey key_;
  Precondition precondition_;
};

// Replaces the whole document.
class VRVSetMutation : public VRVMutation {
 public:
  VRVSetMutation(DocumentKey key, ObjectValuePtr value, Precondition precondition)
      : VRVMutation(std::move(key), std::move(precondition)), value_(std::move(value)) {}

  const ObjectValuePtr& value() const { return value_; }

  MaybeDocumentPtr applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                        const MaybeDocumentPtr& baseDoc,
                                        const DAVTimestamp& localWriteTime) const override;
  MaybeDocumentPtr applyToRemoteDocument(const MaybeDocumentPtr& maybeDoc,
                                         const VRVMutationResult& mutationResult) const override;
  const FieldMask* fieldMask() const override { return nullptr; }
  bool idempotent() const override { return true; }

  bool isEqual(const VRVMutation& other) const override;
  size_t Hash() const override;
  std::string ToString() const override;

 private:
  ObjectValuePtr value_;
};

// Sets or deletes the fields of its mask: each to the value's field at the same path, or deleted
// when the value has none there.
class VRVPatchMutation : public VRVMutation {
 public:
  VRVPatchMutation(DocumentKey key, ObjectValuePtr value, FieldMask fieldMask,
                   Precondition precondition)
      : VRVMutation(std::move(key), std::move(precondition)),
        fieldMask_(std::move(fieldMask)),
        value_(std::move(value)) {}

  const ObjectValuePtr& value() const { return value_; }

  MaybeDocumentPtr applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                        const MaybeDocumentPtr& baseDoc,
                                        const DAVTimestamp& localWriteTime) const override;
  MaybeDocumentPtr applyToRemoteDocument(const MaybeDocumentPtr& maybeDoc,
                                         const VRVMutationResult& mutationResult) const override;
  const FieldMask* fieldMask() const override { return &fieldMask_; }
  bool idempotent() const override { return true; }

  bool isEqual(const VRVMutation& other) const override;
  size_t Hash() const override;
  std::string ToString() const override;

 private:
  ObjectValuePtr patchDocument(const VRVMaybeDocument* maybeDoc) const;

  FieldMask fieldMask_;
  ObjectValuePtr value_;
};

// Server-computed field values; the document must exist.
class VRVTransformMutation : public VRVMutation {
 public:
  // The precondition is always exists == true.
  VRVTransformMutation(DocumentKey key, std::vector<FieldTransform> fieldTransforms);

  const std::vector<FieldTransform>& fieldTransforms() const { return fieldTransforms_; }

  MaybeDocumentPtr applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                        const MaybeDocumentPtr& baseDoc,
                                        const DAVTimestamp& localWriteTime) const override;
  MaybeDocumentPtr applyToRemoteDocument(const MaybeDocumentPtr& maybeDoc,
                                         const VRVMutationResult& mutationResult) const override;
  const FieldMask* fieldMask() const override { return &fieldMask_; }
  // Only when every operation is.
  bool idempotent() const override;

  bool isEqual(const VRVMutation& other) const override;
  size_t Hash() const override;
  std::string ToString() const override;

 private:
  // Both read the previous values from `maybeDoc`, the document the write is applied to.
  std::vector<FieldValuePtr> localTransformResults(const VRVMaybeDocument* maybeDoc,
                                                   const DAVTimestamp& localWriteTime) const;
  std::vector<FieldValuePtr> serverTransformResults(
      const VRVMaybeDocument* maybeDoc, const std::vector<FieldValuePtr>& serverResults) const;
  ObjectValuePtr transformObject(ObjectValuePtr objectValue,
                                 const std::vector<FieldValuePtr>& transformResults) const;

  std::vector<FieldTransform> fieldTransforms_;
  FieldMask fieldMask_;
};

// Deletes the document.
class VRVDeleteMutation : public VRVMutation {
 public:
  VRVDeleteMutation(DocumentKey key, Precondition precondition)
      : VRVMutation(std::move(key), std::move(precondition)) {}

  MaybeDocumentPtr applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                        const MaybeDocumentPtr& baseDoc,
                                        const DAVTimestamp& localWriteTime) const override;
  MaybeDocumentPtr applyToRemoteDocument(const MaybeDocumentPtr& maybeDoc,
                                         const VRVMutationResult& mutationResult) const override;
  const FieldMask* fieldMask() const override { return nullptr; }
  bool idempotent() const override { return true; }

  bool isEqual(const VRVMutation& other) const override;
  size_t Hash() const override;
  std::string ToString() const override;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_VRVMUTATION_H_
