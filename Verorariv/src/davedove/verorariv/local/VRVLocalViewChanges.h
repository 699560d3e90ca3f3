#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVLOCALVIEWCHANGES_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVLOCALVIEWCHANGES_H_

#include <utility>

#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/core/view_snapshot.h"
#include "davedove/verorariv/model/document_key_set.h"

namespace davedove {
namespace verorariv {
namespace local {

// Which documents a view gained and lost. Immutable.
class VRVLocalViewChanges {
 public:
  VRVLocalViewChanges(core::TargetId targetID, model::DocumentKeySet addedKeys,
                      model::DocumentKeySet removedKeys)
      : targetID_(targetID), addedKeys_(std::move(addedKeys)), removedKeys_(std::move(removedKeys)) {}

  static VRVLocalViewChanges changesForTarget(core::TargetId targetID,
                                              model::DocumentKeySet addedKeys,
                                              model::DocumentKeySet removedKeys) {
    return VRVLocalViewChanges(targetID, std::move(addedKeys), std::move(removedKeys));
  }

  // Added changes give added keys, removed changes removed keys; the others are ignored.
  static VRVLocalViewChanges changesForViewSnapshot(const core::ViewSnapshot& viewSnapshot,
                                                    core::TargetId targetID);

  core::TargetId targetID() const { return targetID_; }
  const model::DocumentKeySet& addedKeys() const { return addedKeys_; }
  const model::DocumentKeySet& removedKeys() const { return removedKeys_; }

 private:
  core::TargetId targetID_;
  model::DocumentKeySet addedKeys_;
  model::DocumentKeySet removedKeys_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVLOCALVIEWCHANGES_H_
