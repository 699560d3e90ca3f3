#ifndef DAVEDOVE_VERORARIV_REMOTE_DATASTORE_H_
#define DAVEDOVE_VERORARIV_REMOTE_DATASTORE_H_

#include <functional>
#include <memory>
#include <vector>

#include "davedove/verorariv/auth/credentials_provider.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/remote/grpc_connection.h"
#include "davedove/verorariv/remote/watch_stream.h"
#include "davedove/verorariv/remote/write_stream.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"

namespace davedove {
namespace verorariv {
namespace remote {

// The client's access to the document service: gRPC channels (TLS, or plain text only for a
// loopback host with TLS switched off), one for the unary calls and one for each streaming call,
// calls made on the serial rpc queue, every call with the current ID token as its bearer token.
// Callbacks run on the async queue.
class Datastore : public std::enable_shared_from_this<Datastore> {
 public:
  using LookupCallback = std::function<void(util::StatusOr<std::vector<model::MaybeDocumentPtr>>)>;
  using CommitCallback = std::function<void(const util::Status&)>;

  Datastore(const core::DatabaseInfo& database_info,
            std::shared_ptr<util::AsyncQueue> worker_queue,
            auth::CredentialsProvider* credentials);
  ~Datastore();

  // Reads the documents once: one entry per key found or missing (a VRVDeletedDocument at the
  // read time for a missing one), in the server's order.
  void LookupDocuments(const std::vector<model::DocumentKey>& keys, LookupCallback callback);
  // Commits the mutations as one atomic write outside the write stream.
  void CommitMutations(const std::vector<model::MutationPtr>& mutations, CommitCallback callback);

  std::shared_ptr<WatchStream> CreateWatchStream(WatchStreamCallback* callback);
  std::shared_ptr<WriteStream> CreateWriteStream(WriteStreamCallback* callback);

  // Cancels every call in flight and waits for their threads; no callback runs afterwards. Must
  // come before the async queue goes away.
  void Shutdown();

  const std::shared_ptr<VRVSerializerBeta>& serializer() const { return serializer_; }
  const core::DatabaseInfo& database_info() const { return database_info_; }

  // Whether a failed write with this code will fail again however often it is retried.
  static bool IsPermanentWriteError(const util::Status& status);
  // Whether a failure with this code should be retried at all.
  static bool IsPermanentError(const util::Status& status);

 private:
  // Fetches a token and runs `call` with it on the rpc queue; a failed fetch reaches `on_error`
  // on the async queue.
  void WithToken(std::function<void(const auth::Token&)> call,
                 std::function<void(const util::Status&)> on_error);

  core::DatabaseInfo database_info_;
  std::shared_ptr<util::AsyncQueue> worker_queue_;
  auth::CredentialsProvider* credentials_;
  std::shared_ptr<VRVSerializerBeta> serializer_;
  std::shared_ptr<GrpcConnection> connection_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_DATASTORE_H_
