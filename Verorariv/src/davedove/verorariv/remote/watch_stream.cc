#include "davedove/verorariv/remote/watch_stream.h"

#include <utility>
#include <vector>

#include "davedove/verorariv/model/VRVDocument.h"

namespace davedove {
namespace verorariv {
namespace remote {

namespace v1 = variru::verorariv::v1;
using core::TargetId;

WatchStream::WatchStream(std::shared_ptr<GrpcConnection> connection,
                         auth::CredentialsProvider* credentials,
                         std::shared_ptr<VRVSerializerBeta> serializer, WatchStreamCallback* callback)
    : Stream(std::move(connection), credentials, util::TimerId::WatchStreamBackoff,
             util::TimerId::WatchStreamIdle),
      serializer_(std::move(serializer)),
      validator_(serializer_->databaseID()),
      callback_(callback) {}

std::shared_ptr<GrpcCall> WatchStream::CreateCall(const auth::Token& token) {
  static const grpc::internal::RpcMethod kListen("/variru.verorariv.v1.Verorariv/Listen",
                                              grpc::internal::RpcMethod::BIDI_STREAMING);
  return OpenCall<v1::ListenRequest, v1::ListenResponse>(token, kListen, &WatchStream::OnResponse);
}

void WatchStream::NotifyStreamOpen() { callback_->OnWatchStreamOpen(); }

void WatchStream::NotifyStreamClose(const util::Status& status) {
  callback_->OnWatchStreamClose(status);
}

void WatchStream::Send(v1::ListenRequest request) {
  auto call = std::static_pointer_cast<GrpcStream<v1::ListenRequest, v1::ListenResponse>>(current_call());
  CancelIdleCheck();
  request.set_database(connection()->resource_prefix());
  call->Write(std::move(request));
}

void WatchStream::WatchQuery(const local::VRVQueryData& query) {
  v1::ListenRequest request;
  v1::Target* target = request.mutable_add_target();
  if (query.query()->isDocumentQuery()) {
    *target->mutable_documents() = serializer_->encodedDocumentsTarget(*query.query());
  } else {
    *target->mutable_query() = serializer_->encodedQueryTarget(*query.query());
  }
  target->set_target_id(query.targetID());
  target->set_resume_token(query.resumeToken());
  Send(std::move(request));
}

void WatchStream::UnwatchTargetId(TargetId target_id) {
  v1::ListenRequest request;
  request.set_remove_target(target_id);
  Send(std::move(request));
}

void WatchStream::OnResponse(const GrpcCall* call, const v1::ListenResponse& response) {
  if (!IsOpenCall(call)) return;
  if (!validator_.IsListenResponse(response)) {
    FailStream(util::Status(VerorarivErrorCode::Internal, "Malformed message on the listen stream"));
    return;
  }
  OnValidMessage();
  std::unique_ptr<WatchChange> change = DecodeWatchChange(response);
  if (!change) return;
  callback_->OnWatchStreamChange(*change, DecodeVersion(*serializer_, response));
}

namespace {

std::vector<TargetId> Ids(const google::protobuf::RepeatedField<int32_t>& ids) {
  return std::vector<TargetId>(ids.begin(), ids.end());
}

}  // namespace

std::unique_ptr<WatchChange> WatchStream::DecodeWatchChange(const v1::ListenResponse& response) const {
  switch (response.response_type_case()) {
    case v1::ListenResponse::kTargetChange: {
      const v1::TargetChange& change = response.target_change();
      WatchTargetChangeState state;
      switch (change.target_change_type()) {
        case v1::TargetChange::ADD:
          state = WatchTargetChangeState::Added;
          break;
        case v1::TargetChange::REMOVE:
          state = WatchTargetChangeState::Removed;
          break;
        case v1::TargetChange::CURRENT:
          state = WatchTargetChangeState::Current;
          break;
        case v1::TargetChange::RESET:
          state = WatchTargetChangeState::Reset;
          break;
        default:
          state = WatchTargetChangeState::NoChange;
          break;
      }
      util::Status cause;
      if (change.has_cause() && change.cause().code() != 0) {
        int code = change.cause().code();
        if (code < 0 || code > static_cast<int>(VerorarivErrorCode::Unauthenticated)) {
          code = static_cast<int>(VerorarivErrorCode::Unknown);
        }
        cause = util::Status(static_cast<VerorarivErrorCode>(code), change.cause().message());
      }
      return std::make_unique<WatchTargetChange>(state, Ids(change.target_ids()), change.resume_token(),
                                                 std::move(cause));
    }
    case v1::ListenResponse::kDocumentChange: {
      const v1::DocumentChange& change = response.document_change();
      const v1::Document& proto = change.document();
      model::DocumentKey key = serializer_->decodedDocumentKey(proto.name());
      model::SnapshotVersion version = serializer_->decodedVersion(proto.update_time());
      auto document = model::VRVDocument::documentWithData(
          serializer_->decodedFields(proto.fields()), key, version, model::DocumentState::Synced,
          std::make_shared<const v1::Document>(proto));
      return std::make_unique<DocumentWatchChange>(Ids(change.target_ids()), Ids(change.removed_target_ids()),
                                                   std::move(key), std::move(document));
    }
    case v1::ListenResponse::kDocumentDelete: {
      const v1::DocumentDelete& change = response.document_delete();
      model::DocumentKey key = serializer_->decodedDocumentKey(change.document());
      model::SnapshotVersion version = serializer_->decodedVersion(change.read_time());
      auto deleted = std::make_shared<model::VRVDeletedDocument>(key, version, false);
      return std::make_unique<DocumentWatchChange>(std::vector<TargetId>{}, Ids(change.removed_target_ids()),
                                                   std::move(key), std::move(deleted));
    }
    case v1::ListenResponse::kDocumentRemove: {
      const v1::DocumentRemove& change = response.document_remove();
      model::DocumentKey key = serializer_->decodedDocumentKey(change.document());
      return std::make_unique<DocumentWatchChange>(std::vector<TargetId>{}, Ids(change.removed_target_ids()),
                                                   std::move(key), nullptr);
    }
    case v1::ListenResponse::kFilter:
      return std::make_unique<ExistenceFilterWatchChange>(response.filter().count(),
                                                          response.filter().target_id());
    default:
      return nullptr;
  }
}

model::SnapshotVersion WatchStream::DecodeVersion(const VRVSerializerBeta& serializer,
                                                  const v1::ListenResponse& response) {
  // Only a target change for every target marks a consistent snapshot.
  if (!response.has_target_change()) return model::SnapshotVersion::None();
  const v1::TargetChange& change = response.target_change();
  if (change.target_ids_size() != 0 || !change.has_read_time()) return model::SnapshotVersion::None();
  return serializer.decodedVersion(change.read_time());
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
