#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVQUERYDATA_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVQUERYDATA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace local {

using core::TargetId;

// Why a target is listened to.
enum VRVQueryPurpose : int64_t {
  // A user's listen.
  VRVQueryPurposeListen = 0,
  // A re-listen after the existence filter did not match.
  VRVQueryPurposeExistenceFilterMismatch = 1,
  // A listen that resolves a limbo document.
  VRVQueryPurposeLimboResolution = 2,
};

class VRVQueryData;
using QueryDataPtr = std::shared_ptr<const VRVQueryData>;

// One target: the query, its id and what the watch stream and the collector keep about it.
// Immutable.
class VRVQueryData {
 public:
  VRVQueryData(core::QueryPtr query, TargetId targetID,
               model::ListenSequenceNumber listenSequenceNumber, VRVQueryPurpose purpose,
               const model::SnapshotVersion& snapshotVersion, std::string resumeToken);
  // No snapshot version yet and an empty resume token.
  VRVQueryData(core::QueryPtr query, TargetId targetID,
               model::ListenSequenceNumber listenSequenceNumber, VRVQueryPurpose purpose);

  // Same query, target id and purpose with the three given values.
  QueryDataPtr queryDataByReplacingSnapshotVersion(const model::SnapshotVersion& snapshotVersion,
                                                   std::string resumeToken,
                                                   model::ListenSequenceNumber sequenceNumber) const;

  const core::QueryPtr& query() const { return query_; }
  TargetId targetID() const { return targetID_; }
  model::ListenSequenceNumber sequenceNumber() const { return sequenceNumber_; }
  VRVQueryPurpose purpose() const { return purpose_; }
  const model::SnapshotVersion& snapshotVersion() const { return snapshotVersion_; }
  // Opaque bytes; empty when there is none.
  const std::string& resumeToken() const { return resumeToken_; }

  bool isEqual(const VRVQueryData& other) const;
  size_t Hash() const;
  std::string ToString() const;
  std::string description() const { return ToString(); }

  friend bool operator==(const VRVQueryData& lhs, const VRVQueryData& rhs) {
    return lhs.isEqual(rhs);
  }
  friend bool operator!=(const VRVQueryData& lhs, const VRVQueryData& rhs) {
    return !lhs.isEqual(rhs);
  }

 private:
  core::QueryPtr query_;
  TargetId targetID_;
  model::ListenSequenceNumber sequenceNumber_;
  VRVQueryPurpose purpose_;
  model::SnapshotVersion snapshotVersion_;
  std::string resumeToken_;
};

// The platform's text form of a byte string: "<" hex in groups of four bytes ">".
std::string BytesDescription(const std::string& bytes);

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVQUERYDATA_H_
