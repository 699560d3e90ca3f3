#ifndef DAVEDOVE_VERORARIV_LOCAL_LEVELDB_REMOTE_DOCUMENT_CACHE_H_
#define DAVEDOVE_VERORARIV_LOCAL_LEVELDB_REMOTE_DOCUMENT_CACHE_H_

#include <memory>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/remote_document_cache.h"

namespace davedove {
namespace verorariv {
namespace local {

class VRVLevelDB;

// The last known server state of each document, one row per document key.
class LevelDbRemoteDocumentCache : public RemoteDocumentCache {
 public:
  LevelDbRemoteDocumentCache(VRVLevelDB* db, std::shared_ptr<const VRVLocalSerializer> serializer);

  void Add(const model::MaybeDocumentPtr& document) override;
  void Remove(const model::DocumentKey& key) override;
  model::MaybeDocumentPtr Get(const model::DocumentKey& key) override;
  model::MaybeDocumentMap GetAll(const model::DocumentKeySet& keys) override;
  // Every cached existing document directly in the collection; the query's filters are left to
  // the caller.
  model::DocumentMap GetMatching(const core::VRVQuery& query) override;

 private:
  // None, after a warning, for a row that does not decode: the backend sends the document again,
  // and the row stays for whoever looks into the store.
  // Safe to call from several threads at once.
  model::MaybeDocumentPtr DecodeMaybeDocument(absl::string_view encoded,
                                              const model::DocumentKey& key) const;

  VRVLevelDB* db_;
  std::shared_ptr<const VRVLocalSerializer> serializer_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LEVELDB_REMOTE_DOCUMENT_CACHE_H_
