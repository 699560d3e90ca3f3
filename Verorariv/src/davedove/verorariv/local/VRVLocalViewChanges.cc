#include "davedove/verorariv/local/VRVLocalViewChanges.h"

namespace davedove {
namespace verorariv {
namespace local {

VRVLocalViewChanges VRVLocalViewChanges::changesForViewSnapshot(
    const core::ViewSnapshot& viewSnapshot, core::TargetId targetID) {
  model::DocumentKeySet addedKeys;
  model::DocumentKeySet removedKeys;
  for (const core::DocumentViewChange& change : viewSnapshot.document_changes()) {
    switch (change.type()) {
      case core::DocumentViewChange::Type::Added:
        addedKeys = addedKeys.insert(change.document()->key());
        break;
      case core::DocumentViewChange::Type::Removed:
        removedKeys = removedKeys.insert(change.document()->key());
        break;
      default:
        break;
    }
  }
  return changesForTarget(targetID, std::move(addedKeys), std::move(removedKeys));
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
