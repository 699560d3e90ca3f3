#ifndef DAVEDOVE_VERORARIV_API_DAVQUERY_H_
#define DAVEDOVE_VERORARIV_API_DAVQUERY_H_

#include <functional>
#include <memory>
#include <string>

#include "davedove/verorariv/api/DAVFieldPath.h"
#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "platform/foundation/Error.h"

class DAVVerorariv;
class DAVQuerySnapshot;
class DAVListenerRegistration;

// Receives a snapshot and no error, or no snapshot and the error.
using DAVQuerySnapshotBlock =
    std::function<void(std::shared_ptr<DAVQuerySnapshot> snapshot, platform::ErrorPtr error)>;

// A query over the documents of one collection of a database. Immutable: every restriction makes
// a new query.
class DAVQuery : public std::enable_shared_from_this<DAVQuery> {
 public:
  DAVQuery(davedove::verorariv::core::QueryPtr query, std::shared_ptr<DAVVerorariv> verorariv);
  virtual ~DAVQuery() = default;

  // The documents whose field (a dot-separated path) equals the value. A field-value sentinel as
  // the value raises DAVInvalidArgumentException.
  std::shared_ptr<DAVQuery> queryWhereField(const std::string& field,
                                            const DAVValue& isEqualTo) const;
  std::shared_ptr<DAVQuery> queryWhereFieldPath(const DAVFieldPath& path,
                                                const DAVValue& isEqualTo) const;

  // Runs the query once: from the server when online, else from the cache. The completion runs
  // once on the callback queue.
  void getDocumentsWithCompletion(DAVQuerySnapshotBlock completion) const;

  // Calls the listener with the current result and again after every change of the documents
  // (changes of metadata alone are left out) until the registration is removed.
  std::shared_ptr<DAVListenerRegistration> addSnapshotListener(DAVQuerySnapshotBlock listener) const;

  const davedove::verorariv::core::QueryPtr& query() const { return query_; }
  const std::shared_ptr<DAVVerorariv>& verorariv() const { return verorariv_; }

  friend bool operator==(const DAVQuery& lhs, const DAVQuery& rhs) {
    return lhs.verorariv_ == rhs.verorariv_ && *lhs.query_ == *rhs.query_;
  }

 private:
  davedove::verorariv::core::QueryPtr query_;
  std::shared_ptr<DAVVerorariv> verorariv_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVQUERY_H_
