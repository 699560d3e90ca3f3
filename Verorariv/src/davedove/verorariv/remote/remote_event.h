#ifndef DAVEDOVE_VERORARIV_REMOTE_REMOTE_EVENT_H_
#define DAVEDOVE_VERORARIV_REMOTE_REMOTE_EVENT_H_

#include <string>
#include <unordered_map>
#include <utility>

#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace remote {

// What one watch snapshot changed for one target.
class TargetChange {
 public:
  TargetChange() = default;
  TargetChange(std::string resume_token, bool current, model::DocumentKeySet added_documents,
               model::DocumentKeySet modified_documents, model::DocumentKeySet removed_documents)
      : resume_token_(std::move(resume_token)),
        current_(current),
        added_documents_(std::move(added_documents)),
        modified_documents_(std::move(modified_documents)),
        removed_documents_(std::move(removed_documents)) {}

  // Where to resume listening; empty when the change carries none.
  const std::string& resume_token() const { return resume_token_; }
  // Whether the target is in sync with the server at the event's version.
  bool current() const { return current_; }
  // Keys that started to match the target.
  const model::DocumentKeySet& added_documents() const { return added_documents_; }
  // Keys that changed while matching.
  const model::DocumentKeySet& modified_documents() const { return modified_documents_; }
  // Keys that stopped matching.
  const model::DocumentKeySet& removed_documents() const { return removed_documents_; }

 private:
  std::string resume_token_;
  bool current_ = false;
  model::DocumentKeySet added_documents_;
  model::DocumentKeySet modified_documents_;
  model::DocumentKeySet removed_documents_;
};

// The result of one consistent watch snapshot, applied by the local store.
class RemoteEvent {
 public:
  using TargetChangeMap = std::unordered_map<core::TargetId, TargetChange>;
  using DocumentUpdateMap =
      std::unordered_map<model::DocumentKey, model::MaybeDocumentPtr, model::DocumentKeyHash>;

  RemoteEvent(const model::SnapshotVersion& snapshot_version, TargetChangeMap target_changes,
              DocumentUpdateMap document_updates, model::DocumentKeySet limbo_document_changes)
      : snapshot_version_(snapshot_version),
        target_changes_(std::move(target_changes)),
        document_updates_(std::move(document_updates)),
        limbo_document_changes_(std::move(limbo_document_changes)) {}

  // The none version for a synthesized event (such as a failed limbo resolution).
  const model::SnapshotVersion& snapshot_version() const { return snapshot_version_; }
  const TargetChangeMap& target_changes() const { return target_changes_; }
  // The new remote state of each changed document; a deleted one is a VRVDeletedDocument.
  const DocumentUpdateMap& document_updates() const { return document_updates_; }
  // Keys whose update resolves a limbo document.
  const model::DocumentKeySet& limbo_document_changes() const { return limbo_document_changes_; }

 private:
  model::SnapshotVersion snapshot_version_;
  TargetChangeMap target_changes_;
  DocumentUpdateMap document_updates_;
  model::DocumentKeySet limbo_document_changes_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_REMOTE_EVENT_H_
