#ifndef DAVEDOVE_VERORARIV_API_DAVSNAPSHOTLISTENING_H_
#define DAVEDOVE_VERORARIV_API_DAVSNAPSHOTLISTENING_H_

#include <functional>
#include <memory>

#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/event_manager.h"
#include "davedove/verorariv/core/view_snapshot.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"
#include "platform/foundation/Error.h"

// Receives view snapshots (or the error) on the database's callback queue.
using DAVViewSnapshotHandler =
    std::function<void(davedove::verorariv::util::StatusOr<davedove::verorariv::core::ViewSnapshot>)>;

// Listens to the query until the registration is removed; the handler runs on the callback
// queue and never after remove() has returned there.
std::shared_ptr<DAVListenerRegistration> DAVListenToQuery(
    const std::shared_ptr<DAVVerorariv>& verorariv, davedove::verorariv::core::QueryPtr query,
    davedove::verorariv::core::ListenOptions options, DAVViewSnapshotHandler handler);

// Listens until the first snapshot that the server confirmed, or the cache's while offline,
// and hands that one over.
void DAVGetViewSnapshot(const std::shared_ptr<DAVVerorariv>& verorariv,
                        davedove::verorariv::core::QueryPtr query, DAVViewSnapshotHandler handler);

// The public error of a failed status.
platform::ErrorPtr DAVErrorFromStatus(const davedove::verorariv::util::Status& status);

// Runs a write's completion with the public error on the callback queue; without a completion,
// a failure is logged with the document path.
std::function<void(const davedove::verorariv::util::Status&)> DAVWriteCompletion(
    const std::shared_ptr<DAVVerorariv>& verorariv, DAVVerorarivErrorBlock completion,
    std::string description);

#endif  // DAVEDOVE_VERORARIV_API_DAVSNAPSHOTLISTENING_H_
