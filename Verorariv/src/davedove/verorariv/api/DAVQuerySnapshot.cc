#include "davedove/verorariv/api/DAVQuerySnapshot.h"

#include <utility>

DAVQuerySnapshot::DAVQuerySnapshot(std::shared_ptr<DAVVerorariv> verorariv,
                                   std::shared_ptr<const DAVQuery> query,
                                   davedove::verorariv::model::DocumentSet documents,
                                   davedove::verorariv::model::DocumentKeySet mutatedKeys,
                                   DAVSnapshotMetadata metadata)
    : verorariv_(std::move(verorariv)),
      query_(std::move(query)),
      documents_(std::move(documents)),
      mutatedKeys_(std::move(mutatedKeys)),
      metadata_(metadata) {}

std::vector<std::shared_ptr<DAVQueryDocumentSnapshot>> DAVQuerySnapshot::documents() const {
  std::vector<std::shared_ptr<DAVQueryDocumentSnapshot>> result;
  result.reserve(documents_.size());
  for (const davedove::verorariv::model::DocumentPtr& document : documents_) {
    // Metadata of each document: its own pending writes, the snapshot's source.
    result.push_back(std::make_shared<DAVQueryDocumentSnapshot>(
        verorariv_, document,
        DAVSnapshotMetadata(mutatedKeys_.contains(document->key()), metadata_.isFromCache())));
  }
  return result;
}
