#ifndef DAVEDOVE_VERORARIV_LOCAL_MEMORY_REMOTE_DOCUMENT_CACHE_H_
#define DAVEDOVE_VERORARIV_LOCAL_MEMORY_REMOTE_DOCUMENT_CACHE_H_

#include <cstdint>
#include <vector>

#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/local/remote_document_cache.h"

namespace davedove {
namespace verorariv {
namespace local {

class VRVLocalSerializer;
class VRVMemoryLRUReferenceDelegate;
class VRVMemoryPersistence;

// The last known server state of each document, in key order, in memory.
class MemoryRemoteDocumentCache : public RemoteDocumentCache {
 public:
  // `persistence` owns the cache and outlives it.
  explicit MemoryRemoteDocumentCache(VRVMemoryPersistence* persistence)
      : persistence_(persistence) {}

  void Add(const model::MaybeDocumentPtr& document) override;
  void Remove(const model::DocumentKey& key) override;
  model::MaybeDocumentPtr Get(const model::DocumentKey& key) override;
  model::MaybeDocumentMap GetAll(const model::DocumentKeySet& keys) override;
  // Existing documents of the query's collection that the query matches.
  model::DocumentMap GetMatching(const core::VRVQuery& query) override;

  // Removes every document that the delegate does not pin at `upperBound`; the removed keys in
  // ascending order.
  std::vector<model::DocumentKey> RemoveOrphanedDocuments(
      VRVMemoryLRUReferenceDelegate* delegate, model::ListenSequenceNumber upperBound);

  // Bytes the documents take: key segments plus the stored messages.
  int64_t CalculateByteSize(const VRVLocalSerializer& serializer);

 private:
  model::MaybeDocumentMap docs_;
  VRVMemoryPersistence* persistence_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_MEMORY_REMOTE_DOCUMENT_CACHE_H_
