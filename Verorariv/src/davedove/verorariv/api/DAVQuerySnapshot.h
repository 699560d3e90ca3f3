#ifndef DAVEDOVE_VERORARIV_API_DAVQUERYSNAPSHOT_H_
#define DAVEDOVE_VERORARIV_API_DAVQUERYSNAPSHOT_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVSnapshotMetadata.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_set.h"

class DAVQuery;
class DAVVerorariv;

// A query's result at one moment.
class DAVQuerySnapshot {
 public:
  // `mutatedKeys`: the documents with pending writes, as for a document snapshot of the view.
  DAVQuerySnapshot(std::shared_ptr<DAVVerorariv> verorariv, std::shared_ptr<const DAVQuery> query,
                   davedove::verorariv::model::DocumentSet documents,
                   davedove::verorariv::model::DocumentKeySet mutatedKeys,
                   DAVSnapshotMetadata metadata);

  // The matching documents in the query's order; empty when nothing matches.
  std::vector<std::shared_ptr<DAVQueryDocumentSnapshot>> documents() const;
  size_t count() const { return documents_.size(); }
  bool isEmpty() const { return documents_.empty(); }
  const std::shared_ptr<const DAVQuery>& query() const { return query_; }
  const DAVSnapshotMetadata& metadata() const { return metadata_; }

 private:
  std::shared_ptr<DAVVerorariv> verorariv_;
  std::shared_ptr<const DAVQuery> query_;
  davedove::verorariv::model::DocumentSet documents_;
  davedove::verorariv::model::DocumentKeySet mutatedKeys_;
  DAVSnapshotMetadata metadata_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVQUERYSNAPSHOT_H_
