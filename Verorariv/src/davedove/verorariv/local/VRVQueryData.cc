#include "davedove/verorariv/local/VRVQueryData.h"

#include <functional>
#include <utility>

#include "davedove/verorariv/model/timestamp.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace local {

VRVQueryData::VRVQueryData(core::QueryPtr query, TargetId targetID,
                           model::ListenSequenceNumber listenSequenceNumber,
                           VRVQueryPurpose purpose, const model::SnapshotVersion& snapshotVersion,
                           std::string resumeToken)
    : query_(std::move(query)),
      targetID_(targetID),
      sequenceNumber_(listenSequenceNumber),
      purpose_(purpose),
      snapshotVersion_(snapshotVersion),
      resumeToken_(std::move(resumeToken)) {}

VRVQueryData::VRVQueryData(core::QueryPtr query, TargetId targetID,
                           model::ListenSequenceNumber listenSequenceNumber,
                           VRVQueryPurpose purpose)
    : VRVQueryData(std::move(query), targetID, listenSequenceNumber, purpose,
                   model::SnapshotVersion::None(), std::string()) {}

QueryDataPtr VRVQueryData::queryDataByReplacingSnapshotVersion(
    const model::SnapshotVersion& snapshotVersion, std::string resumeToken,
    model::ListenSequenceNumber sequenceNumber) const {
  return std::make_shared<const VRVQueryData>(query_, targetID_, sequenceNumber, purpose_,
                                              snapshotVersion, std::move(resumeToken));
}

bool VRVQueryData::isEqual(const VRVQueryData& other) const {
  if (this == &other) return true;
  bool queriesEqual = query_ == other.query_ ||
                      (query_ && other.query_ && *query_ == *other.query_);
  return queriesEqual && targetID_ == other.targetID_ &&
         sequenceNumber_ == other.sequenceNumber_ && purpose_ == other.purpose_ &&
         snapshotVersion_ == other.snapshotVersion_ && resumeToken_ == other.resumeToken_;
}

size_t VRVQueryData::Hash() const {
  uint64_t result = query_ ? static_cast<uint64_t>(query_->Hash()) : 0;
  result = result * 31 + static_cast<uint64_t>(static_cast<int64_t>(targetID_));
  result = result * 31 + static_cast<uint64_t>(sequenceNumber_);
  result = result * 31 + static_cast<uint64_t>(purpose_);
  result = result * 31 + static_cast<uint64_t>(std::hash<Timestamp>()(snapshotVersion_.timestamp()));
  result = result * 31 + static_cast<uint64_t>(std::hash<std::string>()(resumeToken_));
  return static_cast<size_t>(result);
}

std::string VRVQueryData::ToString() const {
  return util::StringFormat(
      "<VRVQueryData: query:%s target:%s purpose:%s version:%s resumeToken:%s)>",
      query_ ? query_->ToString() : std::string("(null)"), targetID_,
      static_cast<int64_t>(purpose_), snapshotVersion_.ToString(), BytesDescription(resumeToken_));
}

std::string BytesDescription(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string result = "<";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % 4 == 0) result += ' ';
    auto byte = static_cast<unsigned char>(bytes[i]);
    result += kDigits[byte >> 4];
    result += kDigits[byte & 0xf];
  }
  result += '>';
  return result;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
