#ifndef DAVEDOVE_VERORARIV_REMOTE_WATCH_CHANGE_H_
#define DAVEDOVE_VERORARIV_REMOTE_WATCH_CHANGE_H_

#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace remote {

// One decoded message of the watch stream.
class WatchChange {
 public:
  enum class Type { Document, ExistenceFilter, TargetChange };
  virtual ~WatchChange() = default;
  virtual Type type() const = 0;
};

// A document that changed, was deleted, or stopped matching some targets. `new_document` is the
// new state (a VRVDocument, or a VRVDeletedDocument for a delete), or null when the document only
// left the targets in `removed_target_ids`.
class DocumentWatchChange : public WatchChange {
 public:
  DocumentWatchChange(std::vector<core::TargetId> updated_target_ids,
                      std::vector<core::TargetId> removed_target_ids, model::DocumentKey key,
                      model::MaybeDocumentPtr new_document)
      : updated_target_ids_(std::move(updated_target_ids)),
        removed_target_ids_(std::move(removed_target_ids)),
        key_(std::move(key)),
        new_document_(std::move(new_document)) {}

  Type type() const override { return Type::Document; }
  const std::vector<core::TargetId>& updated_target_ids() const { return updated_target_ids_; }
  const std::vector<core::TargetId>& removed_target_ids() const { return removed_target_ids_; }
  const model::DocumentKey& key() const { return key_; }
  const model::MaybeDocumentPtr& new_document() const { return new_document_; }

 private:
  std::vector<core::TargetId> updated_target_ids_;
  std::vector<core::TargetId> removed_target_ids_;
  model::DocumentKey key_;
  model::MaybeDocumentPtr new_document_;
};

// The server's count of the documents matching a target; a different count on the client means
// it missed a removal and must listen afresh.
class ExistenceFilterWatchChange : public WatchChange {
 public:
  ExistenceFilterWatchChange(int32_t count, core::TargetId target_id)
      : count_(count), target_id_(target_id) {}

  Type type() const override { return Type::ExistenceFilter; }
  int32_t count() const { return count_; }
  core::TargetId target_id() const { return target_id_; }

 private:
  int32_t count_;
  core::TargetId target_id_;
};

enum class WatchTargetChangeState { NoChange, Added, Removed, Current, Reset };

// A change of the listen state of some targets (every active target when `target_ids` is empty).
class WatchTargetChange : public WatchChange {
 public:
  WatchTargetChange(WatchTargetChangeState state, std::vector<core::TargetId> target_ids,
                    std::string resume_token = {}, util::Status cause = util::Status::OK())
      : state_(state),
        target_ids_(std::move(target_ids)),
        resume_token_(std::move(resume_token)),
        cause_(std::move(cause)) {}

  Type type() const override { return Type::TargetChange; }
  WatchTargetChangeState state() const { return state_; }
  const std::vector<core::TargetId>& target_ids() const { return target_ids_; }
  const std::string& resume_token() const { return resume_token_; }
  // Why the targets were removed; OK otherwise.
  const util::Status& cause() const { return cause_; }

 private:
  WatchTargetChangeState state_;
  std::vector<core::TargetId> target_ids_;
  std::string resume_token_;
  util::Status cause_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_WATCH_CHANGE_H_
