#include "davedove/verorariv/local/VRVLRUGarbageCollector.h"

#include <queue>
#include <string>
#include <vector>

#include "davedove/verorariv/model/timestamp.h"
#include "davedove/verorariv/util/log.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

int64_t Microseconds(const Timestamp& time) {
  return time.seconds() * 1000000 + time.nanoseconds() / 1000;
}

// Whole milliseconds from `start` to `end`, truncated toward zero.
int64_t MillisecondsBetween(const Timestamp& start, const Timestamp& end) {
  return (Microseconds(end) - Microseconds(start)) / 1000;
}

// Keeps the n smallest values offered; its top is the largest of them.
class RollingSequenceNumberBuffer {
 public:
  explicit RollingSequenceNumberBuffer(size_t max_elements) : max_elements_(max_elements) {}

  void AddElement(model::ListenSequenceNumber sequence_number) {
    if (queue_.size() < max_elements_) {
      queue_.push(sequence_number);
    } else if (sequence_number < queue_.top()) {
      queue_.pop();
      queue_.push(sequence_number);
    }
  }

  model::ListenSequenceNumber max_value() const { return queue_.top(); }
  bool empty() const { return queue_.empty(); }

 private:
  std::priority_queue<model::ListenSequenceNumber> queue_;
  size_t max_elements_;
};

}  // namespace

LruResults VRVLRUGarbageCollector::collectWithLiveTargets(const LiveQueryMap& liveTargets) {
  if (params_.minBytesThreshold == LruParams::kCollectionDisabled) {
    LOG_DEBUG("Garbage collection skipped; disabled");
    return LruResults::DidNotRun();
  }
  int64_t currentSize = byteSize();
  if (currentSize < params_.minBytesThreshold) {
    LOG_DEBUG("Garbage collection skipped; Cache size %s is lower than threshold %s", currentSize,
              params_.minBytesThreshold);
    return LruResults::DidNotRun();
  }
  LOG_DEBUG("Running garbage collection on cache of size: %s", currentSize);
  return runGCWithLiveTargets(liveTargets);
}

LruResults VRVLRUGarbageCollector::runGCWithLiveTargets(const LiveQueryMap& liveTargets) {
  Timestamp start = Timestamp::Now();
  int32_t sequenceNumbers = queryCountForPercentile(params_.percentileToCollect);
  if (sequenceNumbers > params_.maximumSequenceNumbersToCollect) {
    sequenceNumbers = params_.maximumSequenceNumbersToCollect;
  }
  Timestamp countedTargets = Timestamp::Now();

  model::ListenSequenceNumber upperBound = sequenceNumberForQueryCount(sequenceNumbers);
  Timestamp foundUpperBound = Timestamp::Now();

  int32_t numTargetsRemoved = removeQueriesUpThroughSequenceNumber(upperBound, liveTargets);
  Timestamp removedTargets = Timestamp::Now();

  int32_t numDocumentsRemoved = removeOrphanedDocumentsThroughSequenceNumber(upperBound);
  Timestamp removedDocuments = Timestamp::Now();

  if (util::LogIsLoggable(util::LogLevel::Debug)) {
    std::string desc = "LRU Garbage Collection:\n";
    desc += "\tCounted targets in " + std::to_string(MillisecondsBetween(start, countedTargets)) +
            "ms\n";
    desc += "\tDetermined least recently used " + std::to_string(sequenceNumbers) +
            " sequence numbers in " +
            std::to_string(MillisecondsBetween(countedTargets, foundUpperBound)) + "ms\n";
    desc += "\tRemoved " + std::to_string(numTargetsRemoved) + " targets in " +
            std::to_string(MillisecondsBetween(foundUpperBound, removedTargets)) + "ms\n";
    desc += "\tRemoved " + std::to_string(numDocumentsRemoved) + " documents in " +
            std::to_string(MillisecondsBetween(removedTargets, removedDocuments)) + "ms\n";
    desc += "Total duration: " + std::to_string(MillisecondsBetween(start, removedDocuments)) +
            "ms";
    util::LogMessage(util::LogLevel::Debug, desc);
  }

  return LruResults{true, sequenceNumbers, numTargetsRemoved, numDocumentsRemoved};
}

int32_t VRVLRUGarbageCollector::queryCountForPercentile(int32_t percentile) {
  std::shared_ptr<VRVLRUDelegate> delegate = delegate_.lock();
  if (!delegate) return 0;
  int32_t totalCount = delegate->sequenceNumberCount();
  float fraction = static_cast<float>(percentile) / 100.0f;
  return static_cast<int32_t>(fraction * static_cast<float>(totalCount));
}

model::ListenSequenceNumber VRVLRUGarbageCollector::sequenceNumberForQueryCount(
    int32_t queryCount) {
  if (queryCount <= 0) return kVRVListenSequenceNumberInvalid;
  std::shared_ptr<VRVLRUDelegate> delegate = delegate_.lock();
  if (!delegate) return kVRVListenSequenceNumberInvalid;

  RollingSequenceNumberBuffer buffer(static_cast<size_t>(queryCount));
  delegate->enumerateTargetsUsingCallback(
      [&buffer](const QueryDataPtr& queryData) { buffer.AddElement(queryData->sequenceNumber()); });
  delegate->enumerateMutationsUsingCallback(
      [&buffer](const model::DocumentKey&, model::ListenSequenceNumber sequenceNumber) {
        buffer.AddElement(sequenceNumber);
      });
  // Nothing was offered (the count and the enumerations disagree): nothing to collect.
  if (buffer.empty()) return kVRVListenSequenceNumberInvalid;
  return buffer.max_value();
}

int32_t VRVLRUGarbageCollector::removeQueriesUpThroughSequenceNumber(
    model::ListenSequenceNumber sequenceNumber, const LiveQueryMap& liveQueries) {
  std::shared_ptr<VRVLRUDelegate> delegate = delegate_.lock();
  if (!delegate) return 0;
  return delegate->removeTargetsThroughSequenceNumber(sequenceNumber, liveQueries);
}

int32_t VRVLRUGarbageCollector::removeOrphanedDocumentsThroughSequenceNumber(
    model::ListenSequenceNumber sequenceNumber) {
  std::shared_ptr<VRVLRUDelegate> delegate = delegate_.lock();
  if (!delegate) return 0;
  return delegate->removeOrphanedDocumentsThroughSequenceNumber(sequenceNumber);
}

int64_t VRVLRUGarbageCollector::byteSize() {
  std::shared_ptr<VRVLRUDelegate> delegate = delegate_.lock();
  if (!delegate) return 0;
  return delegate->byteSize();
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
