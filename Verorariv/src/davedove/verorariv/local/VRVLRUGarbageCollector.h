#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVLRUGARBAGECOLLECTOR_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVLRUGARBAGECOLLECTOR_H_

#include <cstdint>
#include <memory>

#include "davedove/verorariv/local/VRVPersistence.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/local/lru_garbage_collector.h"

namespace davedove {
namespace verorariv {
namespace local {

// Removes the least recently used targets and the documents nothing holds any more, through its
// delegate. Owns no data; a released delegate makes every run remove nothing.
class VRVLRUGarbageCollector {
 public:
  VRVLRUGarbageCollector(std::weak_ptr<VRVLRUDelegate> delegate, const LruParams& params)
      : delegate_(std::move(delegate)), params_(params) {}

  // Runs when enabled and the cache is at least the threshold.
  LruResults collectWithLiveTargets(const LiveQueryMap& liveTargets);
  // The collection proper.
  LruResults runGCWithLiveTargets(const LiveQueryMap& liveTargets);

  // `percentile` percent of the delegate's sequence numbers, truncated.
  int32_t queryCountForPercentile(int32_t percentile);
  // The `queryCount`-th smallest sequence number; none for 0.
  model::ListenSequenceNumber sequenceNumberForQueryCount(int32_t queryCount);
  int32_t removeQueriesUpThroughSequenceNumber(model::ListenSequenceNumber sequenceNumber,
                                               const LiveQueryMap& liveQueries);
  int32_t removeOrphanedDocumentsThroughSequenceNumber(model::ListenSequenceNumber sequenceNumber);
  int64_t byteSize();

  const LruParams& params() const { return params_; }

 private:
  std::weak_ptr<VRVLRUDelegate> delegate_;
  LruParams params_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVLRUGARBAGECOLLECTOR_H_
