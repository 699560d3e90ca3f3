#ifndef DAVEDOVE_VERORARIV_LOCAL_LRU_GARBAGE_COLLECTOR_H_
#define DAVEDOVE_VERORARIV_LOCAL_LRU_GARBAGE_COLLECTOR_H_

#include <cstdint>

namespace davedove {
namespace verorariv {
namespace local {

// How the LRU collector runs.
struct LruParams {
  // Value of `minBytesThreshold` that turns collection off.
  static constexpr int64_t kCollectionDisabled = -1;

  // Collect only when the cache takes at least this many bytes.
  int64_t minBytesThreshold;
  // Share of the sequence numbers to collect per run, in percent.
  int32_t percentileToCollect;
  // Upper bound of sequence numbers per run.
  int32_t maximumSequenceNumbersToCollect;
};

// What one collection did; all false and zero when it did not run.
struct LruResults {
  static LruResults DidNotRun() { return LruResults{false, 0, 0, 0}; }

  bool didRun;
  int32_t sequenceNumbersCollected;
  int32_t targetsRemoved;
  int32_t documentsRemoved;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LRU_GARBAGE_COLLECTOR_H_
