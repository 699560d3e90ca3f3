#include "davedove/verorariv/remote/datastore.h"

#include <chrono>
#include <map>
#include <utility>

#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/remote/wire_validator.h"

namespace davedove {
namespace verorariv {
namespace remote {

namespace v1 = variru::verorariv::v1;

namespace {

// A single call on a thread of its own, cancellable by the connection.
class UnaryCall : public GrpcCall {
 public:
  explicit UnaryCall(std::unique_ptr<grpc::ClientContext> context) : context_(std::move(context)) {}
  void Cancel() override { context_->TryCancel(); }
  grpc::ClientContext* context() { return context_.get(); }

 private:
  std::unique_ptr<grpc::ClientContext> context_;
};

// Unary calls give up after this long; the streams have no deadline.
constexpr std::chrono::seconds kCallDeadline(60);

}  // namespace

Datastore::Datastore(const core::DatabaseInfo& database_info,
                     std::shared_ptr<util::AsyncQueue> worker_queue,
                     auth::CredentialsProvider* credentials)
    : database_info_(database_info),
      worker_queue_(std::move(worker_queue)),
      credentials_(credentials),
      serializer_(std::make_shared<VRVSerializerBeta>(database_info.database_id())),
      connection_(std::make_shared<GrpcConnection>(database_info, worker_queue_)) {}

Datastore::~Datastore() { Shutdown(); }

void Datastore::Shutdown() { connection_->Shutdown(); }

std::shared_ptr<WatchStream> Datastore::CreateWatchStream(WatchStreamCallback* callback) {
  return std::make_shared<WatchStream>(connection_, credentials_, serializer_, callback);
}

std::shared_ptr<WriteStream> Datastore::CreateWriteStream(WriteStreamCallback* callback) {
  return std::make_shared<WriteStream>(connection_, credentials_, serializer_, callback);
}

void Datastore::WithToken(std::function<void(const auth::Token&)> call,
                          std::function<void(const util::Status&)> on_error) {
  std::weak_ptr<GrpcConnection> weak_connection = connection_;
  credentials_->GetToken([weak_connection, call = std::move(call),
                          on_error = std::move(on_error)](util::StatusOr<auth::Token> token) {
    auto connection = weak_connection.lock();
    if (!connection) return;
    if (!token.ok()) {
      connection->PostToWorker([on_error, status = token.status()] { on_error(status); });
      return;
    }
    call(token.value());
  });
}

void Datastore::CommitMutations(const std::vector<model::MutationPtr>& mutations, CommitCallback callback) {
  v1::CommitRequest request;
  request.set_database(connection_->resource_prefix());
  for (const auto& mutation : mutations) *request.add_writes() = serializer_->encodedMutation(*mutation);
  std::shared_ptr<GrpcConnection> connection = connection_;
  std::weak_ptr<GrpcConnection> weak_connection = connection_;
  WithToken(
      [weak_connection, request = std::move(request), callback](const auth::Token& token) {
        auto connection = weak_connection.lock();
        if (!connection) return;
        auto context = connection->CreateContext(token);
        context->set_deadline(std::chrono::system_clock::now() + kCallDeadline);
        auto call = std::make_shared<UnaryCall>(std::move(context));
        bool started = connection->StartThread(call, [connection, call, request, callback] {
          v1::CommitResponse response;
          grpc::Status status = connection->stub().Commit(call->context(), request, &response);
          util::Status result = ConvertStatus(status);
          connection->PostToWorker([callback, result] { callback(result); });
        });
        (void)started;  // after shutdown nothing is reported
      },
      [callback](const util::Status& status) { callback(status); });
}

void Datastore::LookupDocuments(const std::vector<model::DocumentKey>& keys, LookupCallback callback) {
  v1::BatchGetDocumentsRequest request;
  request.set_database(connection_->resource_prefix());
  for (const auto& key : keys) request.add_documents(serializer_->encodedDocumentKey(key));
  std::weak_ptr<GrpcConnection> weak_connection = connection_;
  std::shared_ptr<VRVSerializerBeta> serializer = serializer_;
  WithToken(
      [weak_connection, serializer, request = std::move(request), callback](const auth::Token& token) {
        auto connection = weak_connection.lock();
        if (!connection) return;
        auto context = connection->CreateContext(token);
        context->set_deadline(std::chrono::system_clock::now() + kCallDeadline);
        auto call = std::make_shared<UnaryCall>(std::move(context));
        connection->StartThread(call, [connection, call, serializer, request, callback] {
          auto reader = connection->stub().BatchGetDocuments(call->context(), request);
          std::vector<model::MaybeDocumentPtr> documents;
          v1::BatchGetDocumentsResponse response;
          WireValidator validator(serializer->databaseID());
          bool malformed = false;
          while (reader->Read(&response)) {
            if (!validator.IsBatchGetResponse(response)) {
              malformed = true;
              call->Cancel();
              break;
            }
            model::SnapshotVersion read_time = serializer->decodedVersion(response.read_time());
            if (response.has_found()) {
              const v1::Document& proto = response.found();
              documents.push_back(model::VRVDocument::documentWithData(
                  serializer->decodedFields(proto.fields()), serializer->decodedDocumentKey(proto.name()),
                  serializer->decodedVersion(proto.update_time()), model::DocumentState::Synced,
                  std::make_shared<const v1::Document>(proto)));
            } else if (response.result_case() == v1::BatchGetDocumentsResponse::kMissing) {
              documents.push_back(std::make_shared<model::VRVDeletedDocument>(
                  serializer->decodedDocumentKey(response.missing()), read_time, false));
            }
          }
          util::Status status = ConvertStatus(reader->Finish());
          if (malformed) status = util::Status(VerorarivErrorCode::Internal, "Malformed document in a lookup");
          connection->PostToWorker([callback, status, documents = std::move(documents)] {
            if (status.ok()) {
              callback(documents);
            } else {
              callback(status);
            }
          });
        });
      },
      [callback](const util::Status& status) { callback(status); });
}

bool Datastore::IsPermanentError(const util::Status& status) {
  switch (status.code()) {
    case VerorarivErrorCode::Ok:
      return false;
    // Worth retrying: the connection or the service had a bad moment, or the token was stale.
    case VerorarivErrorCode::Cancelled:
    case VerorarivErrorCode::Unknown:
    case VerorarivErrorCode::DeadlineExceeded:
    case VerorarivErrorCode::ResourceExhausted:
    case VerorarivErrorCode::Internal:
    case VerorarivErrorCode::Unavailable:
    case VerorarivErrorCode::Unauthenticated:
      return false;
    default:
      return true;
  }
}

bool Datastore::IsPermanentWriteError(const util::Status& status) {
  // An aborted write was part of a contention: it may well succeed next time.
  return IsPermanentError(status) && status.code() != VerorarivErrorCode::Aborted;
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
