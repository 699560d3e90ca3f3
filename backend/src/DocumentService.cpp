#include "backend/src/DocumentService.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <variant>

#include <grpc/grpc.h>
#include <google/protobuf/util/message_differencer.h>
#include <grpcpp/grpcpp.h>
#include <httplib.h>

#include "backend/src/IdentityService.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Utf8.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/remote/wire_validator.h"
#include "variru/verorariv/v1/verorariv.grpc.pb.h"

namespace backend {

namespace v1 = variru::verorariv::v1;
namespace model = davedove::verorariv::model;
namespace core = davedove::verorariv::core;
using davedove::verorariv::remote::VRVSerializerBeta;
using davedove::verorariv::remote::WireValidator;
using DocumentPtr = DocumentStore::DocumentPtr;

namespace {

constexpr char kAdminPrefix[] = "/admin/v1/documents/";
constexpr char kFellBehind[] = "The client fell too far behind the stream's changes; resume from the last token";
constexpr char kHoldingTheMost[] =
    "The document service holds too much for its clients' streams and this one holds the most; resume from the "
    "last token";
constexpr char kOutOfMemory[] = "The document service ran out of memory for the stream";
constexpr char kStreamFailed[] = "The document service failed to serve the stream";

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    out.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

bool validPath(const std::string& path, bool document) {
  if (path.empty()) return false;
  auto segments = splitPath(path);
  for (const auto& s : segments)
    if (s.empty()) return false;
  return (segments.size() % 2 == 0) == document;
}

constexpr size_t kMaxSegmentBytes = 1500;

// Why no route takes `path` as a document or collection path for the length of a segment, or ""
// when it is short enough: the admin interface and every gRPC route refuse the same paths.
std::string longSegmentProblem(const std::string& path) {
  for (const auto& segment : splitPath(path))
    if (segment.size() > kMaxSegmentBytes) return "a path segment is longer than 1500 bytes";
  return "";
}

// How a refusal names the path and what is wrong with it.
std::string pathRefusal(const std::string& problem, const std::string& path) {
  return problem + ": " + quoteInput(path);
}

// ---------------------------------------------------------------- access rules

bool isUserOwnedCollection(const std::string& collection) {
  return collection == "users" || collection == "customBlacklist" || collection == "pin";
}

bool isReferenceCollection(const std::string& collection) {
  return collection == "dnsServers" || collection == "admin";
}

// The uid of the user a document of a user-owned collection belongs to ("": nobody), as `uid` sees
// it. A document named after a user's uid is that user's alone whatever its fields say, so nobody
// can plant one that another user's listeners take for their own; any other document is the user's
// that its "userId" names.
std::string ownerOf(const IdentityService& identity, const std::string& uid, const std::string& id,
                    const std::string& userId) {
  if (id == uid || identity.userByID(id)) return id;
  return userId;
}

// Whether `uid` may read, or hear of, the document at `path` that names `userId` (or named it,
// when deleted; "" for a missing one).
bool canRead(const IdentityService& identity, const std::string& uid, const std::string& path,
             const std::string& userId) {
  auto segments = splitPath(path);
  if (segments.size() != 2) return false;
  if (isReferenceCollection(segments[0])) return true;
  if (isUserOwnedCollection(segments[0])) return ownerOf(identity, uid, segments[1], userId) == uid;
  return false;
}

bool canRead(const IdentityService& identity, const std::string& uid, const std::string& path,
             const v1::Document* doc) {
  return canRead(identity, uid, path, userIdOf(doc));
}

// A document named after its user that still names another (planted before the name made it its
// user's) goes back to its user at his next write, unless the write names someone else itself.
void returnToItsUser(const std::string& uid, const v1::Document* before, v1::Document* after) {
  if (!before || !after || userIdOf(after) == uid) return;
  auto was = before->fields().find("userId");
  auto now = after->fields().find("userId");
  if (was == before->fields().end() || now == after->fields().end() ||
      !google::protobuf::util::MessageDifferencer::Equals(was->second, now->second))
    return;
  (*after->mutable_fields())["userId"].set_string_value(uid);
}

// Vets one document a commit changes, on what it holds before and after the write: a merge or a
// transform is judged by the document it leaves, not by the fields it sends.
int checkWrite(const IdentityService& identity, const std::string& uid, const std::string& path,
               const v1::Document* before, v1::Document* after, std::string* message) {
  auto segments = splitPath(path);
  bool allowed = false;
  if (segments.size() == 2) {
    const std::string& collection = segments[0];
    if (isUserOwnedCollection(collection)) {
      const std::string& id = segments[1];
      if (id == uid) returnToItsUser(uid, before, after);
      // Named after another user, it is his even while missing: no answer tells whether it exists.
      const bool anotherUsersName = id != uid && identity.userByID(id);
      bool namesOnlyTheWriter = !after || !after->fields().count("userId") || userIdOf(after) == uid;
      allowed = !anotherUsersName && (!before || ownerOf(identity, uid, id, userIdOf(before)) == uid) &&
                (!after || ownerOf(identity, uid, id, userIdOf(after)) == uid) && namesOnlyTheWriter;
    } else if (collection == "uninstall") {
      allowed = !before && after;
    }
  }
  if (allowed) return 0;
  *message = "Missing or insufficient permissions.";
  return grpc::StatusCode::PERMISSION_DENIED;
}

// Whether the query is limited to the user's documents: an equality filter "userId" == uid.
bool queryFiltersOnOwner(const v1::StructuredQuery::Filter& f, const std::string& uid) {
  if (f.has_field_filter()) {
    const auto& ff = f.field_filter();
    return ff.op() == v1::StructuredQuery::FieldFilter::EQUAL && ff.field().field_path() == "userId" &&
           ff.value().value_type_case() == v1::Value::kStringValue && ff.value().string_value() == uid;
  }
  if (f.has_composite_filter()) {
    for (const auto& sub : f.composite_filter().filters())
      if (queryFiltersOnOwner(sub, uid)) return true;
  }
  return false;
}

std::string encodeToken(StoreVersion version) {
  std::string token(8, '\0');
  for (int i = 7; i >= 0; --i) {
    token[i] = static_cast<char>(version & 0xff);
    version >>= 8;
  }
  return token;
}

std::optional<StoreVersion> decodeToken(const std::string& token) {
  if (token.size() != 8) return std::nullopt;
  StoreVersion v = 0;
  for (char c : token) v = (v << 8) | static_cast<unsigned char>(c);
  return v;
}

}  // namespace

// ---------------------------------------------------------------- field JSON

std::string showUtf8(const std::string& text, bool* escaped) {
  if (platform::isValidUtf8(text)) return text;
  if (escaped) *escaped = true;
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const size_t n = platform::utf8SequenceAt(text, i);
    if (n == 0) {
      const auto c = static_cast<unsigned char>(text[i++]);
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      if (text[i] == '\\') out += '\\';
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

bool jsonToValue(const nlohmann::json& json, v1::Value* value, std::string* error) {
  switch (json.type()) {
    case nlohmann::json::value_t::null:
      value->set_null_value(google::protobuf::NULL_VALUE);
      return true;
    case nlohmann::json::value_t::boolean:
      value->set_boolean_value(json.get<bool>());
      return true;
    case nlohmann::json::value_t::number_integer:
      value->set_integer_value(json.get<int64_t>());
      return true;
    case nlohmann::json::value_t::number_unsigned: {
      uint64_t u = json.get<uint64_t>();
      if (u > static_cast<uint64_t>(INT64_MAX)) {
        if (error) *error = "integer out of range";
        return false;
      }
      value->set_integer_value(static_cast<int64_t>(u));
      return true;
    }
    case nlohmann::json::value_t::number_float:
      value->set_double_value(json.get<double>());
      return true;
    case nlohmann::json::value_t::string: {
      const auto& text = json.get_ref<const std::string&>();
      if (!platform::isValidUtf8(text)) {
        if (error) *error = "a text is not valid UTF-8: " + showUtf8(text);
        return false;
      }
      value->set_string_value(text);
      return true;
    }
    case nlohmann::json::value_t::array: {
      auto* array = value->mutable_array_value();
      for (const auto& e : json)
        if (!jsonToValue(e, array->add_values(), error)) return false;
      return true;
    }
    case nlohmann::json::value_t::object: {
      if (json.size() == 1 && json.contains("__timestamp")) {
        const auto& t = json["__timestamp"];
        if (!t.is_array() || t.size() != 2 || !t[0].is_number_integer() || !t[1].is_number_integer() ||
            t[1].get<int64_t>() < 0 || t[1].get<int64_t>() >= 1000000000) {
          if (error) *error = "__timestamp takes [seconds, nanos]";
          return false;
        }
        value->mutable_timestamp_value()->set_seconds(t[0].get<int64_t>());
        value->mutable_timestamp_value()->set_nanos(static_cast<int32_t>(t[1].get<int64_t>()));
        return true;
      }
      if (json.size() == 1 && json.contains("__bytes")) {
        const auto& b = json["__bytes"];
        std::optional<std::string> bytes = b.is_string() ? platform::base64Decode(b.get<std::string>()) : std::nullopt;
        if (!bytes) {
          if (error) *error = "__bytes takes base64";
          return false;
        }
        value->set_bytes_value(*bytes);
        return true;
      }
      auto* map = value->mutable_map_value()->mutable_fields();
      for (const auto& [k, e] : json.items()) {
        if (k.empty()) {
          if (error) *error = "empty field name";
          return false;
        }
        if (!platform::isValidUtf8(k)) {
          if (error) *error = "a field name is not valid UTF-8: " + showUtf8(k);
          return false;
        }
        if (!jsonToValue(e, &(*map)[k], error)) return false;
      }
      return true;
    }
    default:
      if (error) *error = "unsupported JSON value";
      return false;
  }
}

nlohmann::json valueToJson(const v1::Value& value, bool* escaped) {
  switch (value.value_type_case()) {
    case v1::Value::kBooleanValue:
      return value.boolean_value();
    case v1::Value::kIntegerValue:
      return value.integer_value();
    case v1::Value::kDoubleValue:
      return value.double_value();
    case v1::Value::kStringValue:
      return showUtf8(value.string_value(), escaped);
    case v1::Value::kReferenceValue:
      return showUtf8(value.reference_value(), escaped);
    case v1::Value::kBytesValue:
      return nlohmann::json{{"__bytes", platform::base64Encode(value.bytes_value())}};
    case v1::Value::kTimestampValue:
      return nlohmann::json{{"__timestamp",
                             {value.timestamp_value().seconds(), value.timestamp_value().nanos()}}};
    case v1::Value::kGeoPointValue:
      return nlohmann::json{{"latitude", value.geo_point_value().latitude()},
                            {"longitude", value.geo_point_value().longitude()}};
    case v1::Value::kArrayValue: {
      nlohmann::json a = nlohmann::json::array();
      for (const auto& e : value.array_value().values()) a.push_back(valueToJson(e, escaped));
      return a;
    }
    case v1::Value::kMapValue: {
      nlohmann::json o = nlohmann::json::object();
      for (const auto& [k, e] : value.map_value().fields()) o[showUtf8(k, escaped)] = valueToJson(e, escaped);
      return o;
    }
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------- the gRPC service

StreamSlots::Slot::Slot(StreamSlots& slots, std::string uid) : slots_(slots), uid_(std::move(uid)) {
  std::lock_guard<std::mutex> lock(slots_.mutex_);
  auto it = slots_.open_.find(uid_);
  taken_ = it == slots_.open_.end() || it->second < kMaxStreamsPerUser;
  if (taken_) ++slots_.open_[uid_];
}

StreamSlots::Slot::~Slot() {
  // A refused slot counts for nothing, and the user's others may all be gone before it.
  if (!taken_) return;
  std::lock_guard<std::mutex> lock(slots_.mutex_);
  auto it = slots_.open_.find(uid_);
  if (--it->second == 0) slots_.open_.erase(it);
}

int StreamSlots::open(const std::string& uid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = open_.find(uid);
  return it == open_.end() ? 0 : it->second;
}

struct DocumentService::Impl final : public v1::Verorariv::Service {
  Impl(DocumentService& owner)
      : owner(owner),
        serializer(model::DatabaseId(owner.projectId_, model::DatabaseId::kDefault)),
        validator(model::DatabaseId(owner.projectId_, model::DatabaseId::kDefault)) {}

  DocumentService& owner;
  VRVSerializerBeta serializer;
  WireValidator validator;
  std::atomic<int> nextStreamId{1};

  DocumentStore& store() { return *owner.store_; }
  const IdentityService& identity() const { return owner.identity_; }

  StreamSlots streamSlots;

  // One of a user's stream slots for as long as the stream is open.
  class StreamSlot : public StreamSlots::Slot {
   public:
    StreamSlot(Impl& impl, std::string uid) : Slot(impl.streamSlots, std::move(uid)) {}
    static grpc::Status refusal() {
      return grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED,
                          "Too many open streams; at most " + std::to_string(kMaxStreamsPerUser) + " per user");
    }
  };

  // The caller's uid from the bearer token; UNAUTHENTICATED without a valid one.
  grpc::Status authenticate(grpc::ServerContext* context, std::string* uid) {
    const auto& metadata = context->client_metadata();
    auto prefix = metadata.find("variru-cloud-resource-prefix");
    if (prefix == metadata.end() ||
        std::string(prefix->second.data(), prefix->second.size()) != store().databaseName()) {
      return grpc::Status(grpc::StatusCode::NOT_FOUND, "Unknown database");
    }
    auto it = metadata.find("authorization");
    if (it == metadata.end()) return grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "Missing credentials");
    std::string header(it->second.data(), it->second.size());
    const std::string bearer = "Bearer ";
    if (header.compare(0, bearer.size(), bearer) != 0 || header.size() == bearer.size())
      return grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "Missing credentials");
    std::string keyword;
    auto claims = owner.identity_.verifyIDToken(header.substr(bearer.size()), &keyword);
    if (!claims || !(*claims)["sub"].is_string())
      return grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "Invalid ID token: " + keyword);
    *uid = (*claims)["sub"].get<std::string>();
    return grpc::Status::OK;
  }

  // INVALID_ARGUMENT for a path that no route takes (see longSegmentProblem), else OK.
  static grpc::Status checkPath(const std::string& path) {
    std::string problem = longSegmentProblem(path);
    if (problem.empty()) return grpc::Status::OK;
    return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, pathRefusal(problem, path));
  }

  grpc::Status commitWrites(const std::string& uid, const google::protobuf::RepeatedPtrField<v1::Write>& writes,
                            CommitOutcome* outcome) {
    if (static_cast<size_t>(writes.size()) > kMaxCommitWrites)
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                          "A commit takes at most " + std::to_string(kMaxCommitWrites) + " writes");
    size_t bytes = 0;
    for (const auto& w : writes) bytes += w.ByteSizeLong();
    if (bytes > kMaxCommitBytes)
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                          "A commit takes at most " + std::to_string(kMaxCommitBytes) + " bytes of writes");
    for (const auto& w : writes) {
      if (!validator.IsWrite(w)) return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "Invalid write");
      const std::string& name = w.has_update() ? w.update().name() : w.has_transform() ? w.transform().document()
                                                                                         : w.delete_();
      grpc::Status path = checkPath(*store().pathOfName(name));
      if (!path.ok()) return path;
    }
    std::vector<v1::Write> list(writes.begin(), writes.end());
    *outcome = store().commit(list, [this, &uid](const std::string& path, const v1::Document* before,
                                                 v1::Document* after, std::string* message) {
      return checkWrite(identity(), uid, path, before, after, message);
    });
    if (outcome->code != 0) return grpc::Status(static_cast<grpc::StatusCode>(outcome->code), outcome->message);
    return grpc::Status::OK;
  }

  grpc::Status Commit(grpc::ServerContext* context, const v1::CommitRequest* request,
                      v1::CommitResponse* response) override {
    std::string uid;
    grpc::Status status = authenticate(context, &uid);
    if (!status.ok()) return status;
    CommitOutcome outcome;
    status = commitWrites(uid, request->writes(), &outcome);
    if (!status.ok()) return status;
    for (auto& r : outcome.results) *response->add_write_results() = r;
    *response->mutable_commit_time() = timestampOfVersion(outcome.version);
    return grpc::Status::OK;
  }

  grpc::Status BatchGetDocuments(grpc::ServerContext* context, const v1::BatchGetDocumentsRequest* request,
                                 grpc::ServerWriter<v1::BatchGetDocumentsResponse>* writer) override {
    std::string uid;
    grpc::Status status = authenticate(context, &uid);
    if (!status.ok()) return status;
    // Each document once, however often it is named.
    std::vector<std::string> paths;
    std::set<std::string> named;
    for (const auto& name : request->documents()) {
      auto path = store().pathOfName(name);
      if (!path) return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "Invalid document name " + quoteInput(name));
      status = checkPath(*path);
      if (!status.ok()) return status;
      if (named.insert(*path).second) paths.push_back(std::move(*path));
    }
    // The store's own documents, each copied only as it is sent, and only once the whole answer is
    // known to stay within the bound.
    std::vector<DocumentPtr> found;
    size_t bytes = 0;
    StoreVersion readTime = 0;
    grpc::Status denied = grpc::Status::OK;
    store().read([&](const std::map<std::string, DocumentPtr>& docs, const Tombstones&,
                     StoreVersion version) {
      readTime = version;
      for (const auto& path : paths) {
        auto it = docs.find(path);
        DocumentPtr doc = it == docs.end() ? nullptr : it->second;
        if (!canRead(identity(), uid, path, doc.get())) {
          denied = grpc::Status(grpc::StatusCode::PERMISSION_DENIED, "Missing or insufficient permissions.");
          return;
        }
        bytes += doc ? doc->ByteSizeLong() : path.size();
        found.push_back(std::move(doc));
      }
    });
    if (!denied.ok()) return denied;
    if (bytes > kMaxBatchGetBytes)
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                          "A lookup answers at most " + std::to_string(kMaxBatchGetBytes) +
                              " bytes of documents and this one would take " + std::to_string(bytes) +
                              "; ask for fewer documents at a time");
    for (size_t i = 0; i < paths.size(); ++i) {
      v1::BatchGetDocumentsResponse r;
      if (found[i]) *r.mutable_found() = *found[i];
      else r.set_missing(store().documentName(paths[i]));
      *r.mutable_read_time() = timestampOfVersion(readTime);
      if (!writer->Write(r)) break;
    }
    return grpc::Status::OK;
  }

  grpc::Status Write(grpc::ServerContext* context,
                     grpc::ServerReaderWriter<v1::WriteResponse, v1::WriteRequest>* stream) override {
    std::string uid;
    grpc::Status status = authenticate(context, &uid);
    if (!status.ok()) return status;
    StreamSlot slot(*this, uid);
    if (!slot.taken()) return StreamSlot::refusal();
    v1::WriteRequest request;
    if (!stream->Read(&request)) return grpc::Status::OK;
    if (request.database() != store().databaseName())
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "The first request must name the database");
    if (request.writes_size() != 0)
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "The first request must carry no writes");
    std::string streamId = "write-" + std::to_string(nextStreamId++);
    uint64_t sequence = 0;
    auto token = [&]() { return streamId + ":" + std::to_string(++sequence); };
    v1::WriteResponse handshake;
    handshake.set_stream_id(streamId);
    handshake.set_stream_token(token());
    *handshake.mutable_commit_time() = timestampOfVersion(store().version());
    if (!stream->Write(handshake)) return grpc::Status::OK;
    while (stream->Read(&request)) {
      CommitOutcome outcome;
      status = commitWrites(uid, request.writes(), &outcome);
      if (!status.ok()) return status;
      v1::WriteResponse response;
      response.set_stream_id(streamId);
      response.set_stream_token(token());
      for (auto& r : outcome.results) *response.add_write_results() = r;
      *response.mutable_commit_time() = timestampOfVersion(outcome.version);
      if (!stream->Write(response)) break;
    }
    return grpc::Status::OK;
  }

  // ---- Listen

  struct Target {
    int32_t id = 0;
    core::QueryPtr query;
    std::optional<std::string> documentPath;  // a document target
    StoreVersion since = 0;                    // changes up to here are in `sent`
    std::set<std::string> sent;                // paths the client holds as matching
  };

  struct ListenEvent {
    enum Kind { Request, Changes, End } kind = End;
    v1::ListenRequest request;
    std::shared_ptr<const ChangeSet> changes;
    size_t bytes = 0;  // what `request` or `changes` holds, charged to the stream
  };

  // One message for the client. A document goes out as a copy made only as it is sent: until then
  // the message holds the store's own document.
  struct Outgoing {
    Outgoing(v1::ListenResponse r) : response(std::move(r)), bytes(response.ByteSizeLong()) {}
    Outgoing(DocumentPtr doc, int32_t targetId) : document(std::move(doc)), bytes(document->ByteSizeLong()) {
      response.mutable_document_change()->add_target_ids(targetId);
    }
    v1::ListenResponse response;
    DocumentPtr document;  // a document change's document
    size_t bytes;
  };

  // One open Listen stream, as its handler, its reader, the commits and the bound on what all
  // streams hold share it.
  struct ListenState {
    grpc::ServerContext* context = nullptr;
    std::string uid;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<ListenEvent> events;             // under `mutex`
    std::map<int32_t, Target> interest;          // the targets, by which commits are sorted; under `mutex`
    grpc::StatusCode endCode = grpc::StatusCode::OK;  // why the stream ends; under `mutex`
    const char* endMessage = "";
    size_t held = 0;     // what is charged to it; under `heldMutex`
    bool dropped = false;  // ended by the bounds, charged nothing more; under `heldMutex`
  };

  // What the open Listen streams hold. Lock order: the store's, `heldMutex`, a stream's `mutex`.
  std::mutex heldMutex;
  size_t heldTotal = 0;
  std::set<ListenState*> holders;

  // A stored document as the client's model sees it.
  model::DocumentPtr modelDocument(const std::string& path, const v1::Document& doc) {
    return model::VRVDocument::documentWithData(
        serializer.decodedFields(doc.fields()), model::DocumentKey::FromPathString(path),
        model::SnapshotVersion(serializer.decodedTimestamp(doc.update_time())), model::DocumentState::Synced);
  }

  // A name that is not UTF-8 (stored by an earlier version) makes the message that carries it one the
  // client cannot decode, which ends its stream on every try: such a document is left out of what
  // a stream sends, the first one of an answer named in *leftOut.
  static bool sendable(const std::string& path, std::string* leftOut) {
    if (platform::isValidUtf8(path)) return true;
    if (leftOut->empty()) *leftOut = path;
    return false;
  }

  bool matches(const std::string& uid, const Target& t, const std::string& path, const v1::Document* doc) {
    if (!doc) return false;
    if (t.documentPath) return *t.documentPath == path && canRead(identity(), uid, path, doc);
    return canRead(identity(), uid, path, doc) && t.query->matchesDocument(*modelDocument(path, *doc));
  }

  // The paths of the documents matching the target that a stream can send, limit applied.
  std::vector<std::string> resultOf(const std::string& uid, const Target& t,
                                    const std::map<std::string, DocumentPtr>& docs, std::string* leftOut) {
    std::vector<std::string> out;
    if (t.documentPath) {
      auto it = docs.find(*t.documentPath);
      if (it != docs.end() && matches(uid, t, it->first, it->second.get())) out.push_back(it->first);
      return out;
    }
    // Decoded documents are as large as the stored ones: only those the result keeps stay, with a
    // limit in a heap whose top is the last of them in the query's order.
    std::vector<model::DocumentPtr> found;
    const bool limited = t.query->hasLimit();
    auto comparator = t.query->comparator();
    auto ordered = [&](const model::DocumentPtr& a, const model::DocumentPtr& b) {
      return comparator(*a, *b) == davedove::verorariv::util::ComparisonResult::Ascending;
    };
    std::string collection = t.query->path().CanonicalString() + "/";
    for (auto it = docs.lower_bound(collection); it != docs.end(); ++it) {
      if (it->first.compare(0, collection.size(), collection) != 0) break;
      if (!canRead(identity(), uid, it->first, it->second.get())) continue;
      auto doc = modelDocument(it->first, *it->second);
      if (!t.query->matchesDocument(*doc) || !sendable(it->first, leftOut)) continue;
      if (!limited) {
        out.push_back(it->first);
        continue;
      }
      found.push_back(std::move(doc));
      std::push_heap(found.begin(), found.end(), ordered);
      if (found.size() > static_cast<size_t>(t.query->limit())) {
        std::pop_heap(found.begin(), found.end(), ordered);
        found.pop_back();
      }
    }
    std::sort_heap(found.begin(), found.end(), ordered);
    for (const auto& d : found) out.push_back(d->key().path().CanonicalString());
    return out;
  }

  static v1::ListenResponse targetChange(v1::TargetChange::TargetChangeType type, std::vector<int32_t> ids,
                                         StoreVersion version = 0, bool withToken = false) {
    v1::ListenResponse r;
    auto* tc = r.mutable_target_change();
    tc->set_target_change_type(type);
    for (int32_t id : ids) tc->add_target_ids(id);
    if (withToken) {
      tc->set_resume_token(encodeToken(version));
      *tc->mutable_read_time() = timestampOfVersion(version);
    }
    return r;
  }

  // Brings the target from what the client holds (`t.sent`, or unknown when `resumeFrom` is set)
  // to `result`; the messages go to `out`.
  void diffTarget(const std::string& uid, Target& t, const std::vector<std::string>& result,
                  const std::map<std::string, DocumentPtr>& docs,
                  const Tombstones& tombstones, std::optional<StoreVersion> resumeFrom,
                  const std::set<std::string>* changedPaths, std::vector<Outgoing>* out, std::string* leftOut) {
    std::set<std::string> now(result.begin(), result.end());
    for (const auto& path : result) {
      const auto& doc = docs.at(path);
      bool send;
      if (resumeFrom) send = versionOfTimestamp(doc->update_time()) > *resumeFrom;
      else send = !t.sent.count(path) || (changedPaths && changedPaths->count(path));
      if (!send) continue;
      out->emplace_back(doc, t.id);
    }
    auto removal = [&](const std::string& path) {
      if (!sendable(path, leftOut)) return;
      v1::ListenResponse r;
      if (!docs.count(path)) {
        r.mutable_document_delete()->set_document(store().documentName(path));
        r.mutable_document_delete()->add_removed_target_ids(t.id);
      } else {
        r.mutable_document_remove()->set_document(store().documentName(path));
        r.mutable_document_remove()->add_removed_target_ids(t.id);
      }
      out->push_back(std::move(r));
    };
    if (resumeFrom) {
      // Documents that changed or went away since the token and do not match now, as far as the
      // caller may know of them: the token is the client's word, so even a forged one reveals no
      // other user's document. What else the client holds, the existence filter corrects.
      for (const auto& [path, doc] : docs)
        if (!now.count(path) && versionOfTimestamp(doc->update_time()) > *resumeFrom && concerns(t, path) &&
            canRead(identity(), uid, path, doc.get()))
          removal(path);
      for (const auto& [path, deleted] : tombstones)
        if (deleted.version > *resumeFrom && concerns(t, path) && canRead(identity(), uid, path, deleted.userId))
          removal(path);
    } else {
      for (const auto& path : t.sent)
        if (!now.count(path)) removal(path);
    }
    t.sent = std::move(now);
  }

  static bool isInCollection(const Target& t, const std::string& path) {
    std::string collection = t.query->path().CanonicalString() + "/";
    return path.compare(0, collection.size(), collection) == 0 &&
           path.find('/', collection.size()) == std::string::npos;
  }

  // Whether the document at `path` is the target's business, as far as the path tells.
  static bool concerns(const Target& t, const std::string& path) {
    return t.documentPath ? *t.documentPath == path : isInCollection(t, path);
  }

  using ListenStream = grpc::ServerReaderWriter<v1::ListenResponse, v1::ListenRequest>;

  grpc::Status Listen(grpc::ServerContext* context, ListenStream* stream) override {
    std::string uid;
    grpc::Status status = authenticate(context, &uid);
    if (!status.ok()) return status;
    StreamSlot slot(*this, uid);
    if (!slot.taken()) return StreamSlot::refusal();

    ListenState state;
    state.context = context;
    state.uid = uid;
    // However the stream ends, nothing of it outlives the call: no subscriber, no reader, no charge.
    struct Teardown {
      Impl& impl;
      ListenState& state;
      std::thread reader;
      std::optional<int> subscription;
      Teardown(Impl& impl, ListenState& state) : impl(impl), state(state) {
        std::lock_guard<std::mutex> lock(impl.heldMutex);
        impl.holders.insert(&state);
      }
      ~Teardown() {
        if (subscription) impl.store().unsubscribe(*subscription);
        if (reader.joinable()) {
          state.context->TryCancel();  // ends the reader's Read
          reader.join();
        }
        std::lock_guard<std::mutex> lock(impl.heldMutex);
        if (!state.dropped) impl.heldTotal -= state.held;
        impl.holders.erase(&state);
      }
    };
    std::optional<Teardown> teardown;
    try {
      teardown.emplace(*this, state);
      teardown->reader = owner.startThread_([this, &state, stream] { readRequests(state, stream); });
    } catch (const std::system_error& e) {
      return grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED,
                          std::string("The document service cannot start the stream: ") + e.what());
    }
    try {
      teardown->subscription = store().subscribe([this, &state](const ChangeSet& changes) { queueChanges(state, changes); });
      serve(state, stream);
    } catch (const std::bad_alloc&) {
      endStream(state, grpc::StatusCode::RESOURCE_EXHAUSTED, kOutOfMemory);
    } catch (...) {
      endStream(state, grpc::StatusCode::INTERNAL, kStreamFailed);
    }
    teardown.reset();
    if (state.endCode != grpc::StatusCode::OK) return grpc::Status(state.endCode, state.endMessage);
    return grpc::Status::OK;
  }

  // Ends the stream with the status (the first one given holds) and drops what it has queued. The
  // Write to a client that does not read blocks, so the status goes out by cancelling the call.
  void endStream(ListenState& state, grpc::StatusCode code, const char* message) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.endCode != grpc::StatusCode::OK) return;
    state.endCode = code;
    state.endMessage = message;
    state.events.clear();
    state.wake.notify_all();
    grpc_call_cancel_with_status(state.context->c_call(), static_cast<grpc_status_code>(code), message, nullptr);
  }

  // Charges what the stream now holds as well; false when the stream has ended. A stream past its
  // own bound is behind and ends (unless `beyondOwnBound`: a snapshot is as large as what it
  // matches, and whatever arrives while the stream holds that much ends it). Past the bound of all
  // streams together, the stream holding the most ends, so that a client that reads, which holds
  // little, is not the one to go.
  bool charge(ListenState& state, size_t bytes, bool beyondOwnBound) {
    std::lock_guard<std::mutex> lock(heldMutex);
    if (state.dropped) return false;
    if (!beyondOwnBound && state.held + bytes > kMaxUnsentBytesPerStream) {
      drop(state, kFellBehind);
      return false;
    }
    state.held += bytes;
    heldTotal += bytes;
    while (heldTotal > kMaxHeldBytesTotal) {
      // A stream already ended holds nothing.
      ListenState* most = *std::max_element(holders.begin(), holders.end(),
                                            [](ListenState* a, ListenState* b) { return a->held < b->held; });
      drop(*most, kHoldingTheMost);
    }
    return !state.dropped;
  }

  void release(ListenState& state, size_t bytes) {
    std::lock_guard<std::mutex> lock(heldMutex);
    if (state.dropped) return;
    state.held -= bytes;
    heldTotal -= bytes;
  }

  // Under `heldMutex`.
  void drop(ListenState& state, const char* message) {
    heldTotal -= state.held;
    state.held = 0;
    state.dropped = true;
    endStream(state, grpc::StatusCode::RESOURCE_EXHAUSTED, message);
  }

  void fault(const ListenState& state, const char* step) {
    DocumentService::StreamFault fault;
    {
      std::lock_guard<std::mutex> lock(owner.faultMutex_);
      fault = owner.streamFault_;
    }
    if (fault) fault(state.uid, step);
  }

  void push(ListenState& state, ListenEvent event) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.endCode != grpc::StatusCode::OK) return;
    state.events.push_back(std::move(event));
    state.wake.notify_one();
  }

  // The reader's thread: the client's requests, charged to the stream as they wait.
  void readRequests(ListenState& state, ListenStream* stream) {
    try {
      v1::ListenRequest request;
      while (stream->Read(&request)) {
        fault(state, "read");
        ListenEvent e;
        e.kind = ListenEvent::Request;
        e.bytes = request.ByteSizeLong();
        e.request = std::move(request);
        if (!charge(state, e.bytes, false)) return;
        push(state, std::move(e));
      }
      push(state, ListenEvent{});
    } catch (const std::bad_alloc&) {
      endStream(state, grpc::StatusCode::RESOURCE_EXHAUSTED, kOutOfMemory);
    } catch (...) {
      endStream(state, grpc::StatusCode::INTERNAL, kStreamFailed);
    }
  }

  // A commit, under the store's lock: queues the changes that the stream's targets concern and the
  // caller may read, charged at the size of what they leave. What other users write costs the
  // stream nothing.
  void queueChanges(ListenState& state, const ChangeSet& changes) {
    try {
      fault(state, "changes");
      auto queued = std::make_shared<ChangeSet>();
      queued->version = changes.version;
      size_t bytes = 0;
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.endCode != grpc::StatusCode::OK) return;
        for (const auto& c : changes.changes) {
          bool targeted = std::any_of(state.interest.begin(), state.interest.end(),
                                      [&](const auto& entry) { return concerns(entry.second, c.path); });
          if (!targeted || !(canRead(identity(), state.uid, c.path, c.after.get()) ||
                             canRead(identity(), state.uid, c.path, c.before.get())))
            continue;
          // Only what the stream sends: the earlier documents stay out of the queue.
          queued->changes.push_back({c.path, nullptr, c.after});
          bytes += c.after ? c.after->ByteSizeLong() : c.path.size();
        }
      }
      if (queued->changes.empty() || !charge(state, bytes, false)) return;
      ListenEvent e;
      e.kind = ListenEvent::Changes;
      e.changes = std::move(queued);
      e.bytes = bytes;
      push(state, std::move(e));
    } catch (const std::bad_alloc&) {
      endStream(state, grpc::StatusCode::RESOURCE_EXHAUSTED, kOutOfMemory);
    } catch (...) {
      endStream(state, grpc::StatusCode::INTERNAL, kStreamFailed);
    }
  }

  // The handler's thread: handles requests and changes in turn and sends what they make.
  void serve(ListenState& state, ListenStream* stream) {
    std::map<int32_t, Target> targets;
    for (;;) {
      ListenEvent event;
      {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.wake.wait(lock, [&] { return !state.events.empty() || state.endCode != grpc::StatusCode::OK; });
        if (state.endCode != grpc::StatusCode::OK) return;
        event = std::move(state.events.front());
        state.events.pop_front();
      }
      std::vector<Outgoing> out;
      std::string leftOut;
      switch (event.kind) {
        case ListenEvent::End:
          return;
        case ListenEvent::Request:
          fault(state, "request");
          handleListenRequest(state, event.request, targets, &out, &leftOut);
          break;
        case ListenEvent::Changes:
          handleChanges(state.uid, *event.changes, targets, &out, &leftOut);
          break;
      }
      if (!leftOut.empty())
        std::cerr << "vorellin-backend: a Listen answer leaves out documents whose names are not UTF-8, such as "
                  << showInLog(leftOut) << std::endl;
      // What goes out is charged in place of what it was made from, which goes now.
      size_t bytes = 0;
      for (const auto& o : out) bytes += o.bytes;
      const size_t handled = event.bytes;
      event = ListenEvent{};
      const bool charged = charge(state, bytes, true);
      release(state, handled);
      if (!charged) return;
      for (auto& o : out) {
        {
          std::lock_guard<std::mutex> lock(state.mutex);
          if (state.endCode != grpc::StatusCode::OK) return;
        }
        if (o.document) *o.response.mutable_document_change()->mutable_document() = *o.document;
        o.document.reset();
        // While the Write lasts, the transport holds the message serialized as well.
        if (!charge(state, o.bytes, true)) return;
        const bool written = stream->Write(o.response);
        o.response = v1::ListenResponse();
        release(state, 2 * o.bytes);
        if (!written) return;
      }
    }
  }

  // A request the service cannot serve removes its target with the cause; the stream stays.
  void handleListenRequest(ListenState& state, const v1::ListenRequest& request,
                           std::map<int32_t, Target>& targets, std::vector<Outgoing>* out, std::string* leftOut) {
    const std::string& uid = state.uid;
    auto reject = [&](int32_t id, grpc::StatusCode code, const std::string& message) {
      v1::ListenResponse r = targetChange(v1::TargetChange::REMOVE, {id});
      r.mutable_target_change()->mutable_cause()->set_code(code);
      r.mutable_target_change()->mutable_cause()->set_message(message);
      out->push_back(std::move(r));
    };
    int32_t id = request.target_change_case() == v1::ListenRequest::kRemoveTarget ? request.remove_target()
                                                                                    : request.add_target().target_id();
    if (request.database() != store().databaseName()) {
      return reject(id, grpc::StatusCode::INVALID_ARGUMENT, "Unknown database " + quoteInput(request.database()));
    }
    if (request.target_change_case() == v1::ListenRequest::kRemoveTarget) {
      targets.erase(id);
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.interest.erase(id);
      }
      out->push_back(targetChange(v1::TargetChange::REMOVE, {id}));
      return;
    }
    if (request.target_change_case() != v1::ListenRequest::kAddTarget) {
      return reject(0, grpc::StatusCode::INVALID_ARGUMENT, "Empty listen request");
    }
    const v1::Target& wire = request.add_target();
    if (targets.count(id)) return reject(id, grpc::StatusCode::INVALID_ARGUMENT, "Target id already in use");
    Target t;
    t.id = id;
    std::string rejection;
    if (wire.has_documents()) {
      if (wire.documents().documents_size() != 1 || !validator.IsDocumentName(wire.documents().documents(0))) {
        return reject(id, grpc::StatusCode::INVALID_ARGUMENT, "Invalid documents target");
      }
      t.documentPath = *store().pathOfName(wire.documents().documents(0));
      grpc::Status path = checkPath(*t.documentPath);
      if (!path.ok()) return reject(id, path.error_code(), path.error_message());
      t.query = serializer.decodedQueryFromDocumentsTarget(wire.documents());
    } else if (wire.has_query()) {
      std::string collection;
      if (!validator.IsSupportedQuery(wire.query(), &collection)) {
        return reject(id, grpc::StatusCode::INVALID_ARGUMENT, "Unsupported query");
      }
      grpc::Status path = checkPath(collection);
      if (!path.ok()) return reject(id, path.error_code(), path.error_message());
      t.query = serializer.decodedQueryFromQueryTarget(wire.query());
      bool refused;
      {
        std::lock_guard<std::mutex> lock(owner.refusedMutex_);
        refused = !owner.refusedCollection_.empty() && collection == owner.refusedCollection_;
      }
      if (refused) {
        rejection = "Missing or insufficient permissions.";
      } else if (isReferenceCollection(collection)) {
      } else if (isUserOwnedCollection(collection) && wire.query().structured_query().has_where() &&
                 queryFiltersOnOwner(wire.query().structured_query().where(), uid)) {
      } else {
        rejection = "Missing or insufficient permissions.";
      }
    } else {
      return reject(id, grpc::StatusCode::INVALID_ARGUMENT, "Target without documents or query");
    }

    std::optional<StoreVersion> resumeFrom;
    if (!wire.resume_token().empty()) {
      resumeFrom = decodeToken(wire.resume_token());
      if (!resumeFrom) return reject(id, grpc::StatusCode::INVALID_ARGUMENT, "Invalid resume token");
    }

    out->push_back(targetChange(v1::TargetChange::ADD, {id}));
    store().read([&](const std::map<std::string, DocumentPtr>& docs,
                     const Tombstones& tombstones, StoreVersion version) {
      if (rejection.empty() && t.documentPath) {
        auto it = docs.find(*t.documentPath);
        if (!canRead(identity(), uid, *t.documentPath, it == docs.end() ? nullptr : it->second.get()))
          rejection = "Missing or insufficient permissions.";
      }
      if (!rejection.empty()) return reject(id, grpc::StatusCode::PERMISSION_DENIED, rejection);
      {
        // Under the store's lock: every commit after this snapshot is sorted by the new target.
        std::lock_guard<std::mutex> lock(state.mutex);
        state.interest[id] = t;
      }
      std::vector<std::string> result = resultOf(uid, t, docs, leftOut);
      diffTarget(uid, t, result, docs, tombstones, resumeFrom, nullptr, out, leftOut);
      if (resumeFrom) {
        v1::ListenResponse filter;
        filter.mutable_filter()->set_target_id(id);
        filter.mutable_filter()->set_count(static_cast<int32_t>(result.size()));
        out->push_back(std::move(filter));
      }
      out->push_back(targetChange(v1::TargetChange::CURRENT, {id}, version, true));
      out->push_back(targetChange(v1::TargetChange::NO_CHANGE, {}, version, true));
      t.since = version;
    });
    if (rejection.empty()) targets[id] = std::move(t);
  }

  void handleChanges(const std::string& uid, const ChangeSet& changes, std::map<int32_t, Target>& targets,
                     std::vector<Outgoing>* out, std::string* leftOut) {
    bool any = false;
    std::set<std::string> changedPaths;
    for (const auto& c : changes.changes) changedPaths.insert(c.path);
    // Later changes are already in the store; only this change set's own documents are read.
    std::map<std::string, DocumentPtr> docs;
    for (const auto& c : changes.changes)
      if (c.after) docs[c.path] = c.after;
    for (auto& [id, t] : targets) {
      if (changes.version <= t.since) continue;
      t.since = changes.version;
      if (!t.documentPath && t.query->hasLimit()) {
        // A limit makes every document's membership depend on the others: recompute.
        std::map<std::string, DocumentPtr> all;
        store().read([&](const std::map<std::string, DocumentPtr>& current,
                         const Tombstones&, StoreVersion) { all = current; });
        for (const auto& [path, doc] : docs) all[path] = doc;
        for (const auto& c : changes.changes)
          if (!c.after) all.erase(c.path);
        size_t before = out->size();
        diffTarget(uid, t, resultOf(uid, t, all, leftOut), all, {}, std::nullopt, &changedPaths, out, leftOut);
        any = any || out->size() != before;
        continue;
      }
      for (const auto& c : changes.changes) {
        bool nowMatches = matches(uid, t, c.path, c.after.get()) && sendable(c.path, leftOut);
        bool held = t.sent.count(c.path) > 0;
        if (nowMatches) {
          out->emplace_back(c.after, id);
          t.sent.insert(c.path);
          any = true;
        } else if (held) {
          v1::ListenResponse r;
          if (!c.after) {
            r.mutable_document_delete()->set_document(store().documentName(c.path));
            r.mutable_document_delete()->add_removed_target_ids(id);
          } else {
            r.mutable_document_remove()->set_document(store().documentName(c.path));
            r.mutable_document_remove()->add_removed_target_ids(id);
          }
          out->push_back(std::move(r));
          t.sent.erase(c.path);
          any = true;
        }
      }
    }
    if (any) out->push_back(targetChange(v1::TargetChange::NO_CHANGE, {}, changes.version, true));
  }
};

// ---------------------------------------------------------------- the service

DocumentService::DocumentService(IdentityService& identity, std::string projectId, std::string dataDir,
                                 std::string host, uint16_t port)
    : identity_(identity),
      projectId_(std::move(projectId)),
      dataDir_(std::move(dataDir)),
      host_(std::move(host)),
      requestedPort_(port),
      store_(std::make_unique<DocumentStore>(projectId_)) {
  impl_ = std::make_unique<Impl>(*this);
}

DocumentService::~DocumentService() { stop(); }

std::string DocumentService::hostAndPort() const { return host_ + ":" + std::to_string(port_); }

bool DocumentService::open(std::string* error) {
  if (dataDir_.empty()) return true;
  std::error_code ec;
  std::filesystem::create_directories(dataDir_, ec);
  return store_->open((std::filesystem::path(dataDir_) / "documents").string(), error);
}

bool DocumentService::applySeed(const nlohmann::json& seed, std::string* error) {
  if (!seed.is_object() || !seed.contains("documents")) return true;
  const auto& documents = seed["documents"];
  if (!documents.is_object()) {
    if (error) *error = "\"documents\" must map document paths to fields";
    return false;
  }
  for (const auto& [path, fields] : documents.items()) {
    if (store_->get(path) || store_->setAside().count(path)) continue;
    std::string why;
    if (!adminSet(path, fields, false, &why)) {
      if (error) *error = "seed document " + showInLog(path) + ": " + why;
      return false;
    }
  }
  return true;
}

bool DocumentService::start(std::string* error) {
  std::shared_ptr<grpc::ServerCredentials> credentials = grpc::InsecureServerCredentials();
  if (!tlsCertFile_.empty()) {
    auto read = [](const std::string& path) {
      std::ifstream in(path);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    grpc::SslServerCredentialsOptions options;
    options.pem_key_cert_pairs.push_back({read(tlsKeyFile_), read(tlsCertFile_)});
    credentials = grpc::SslServerCredentials(options);
  }
  grpc::ServerBuilder builder;
  int selected = 0;
  builder.AddListeningPort(host_ + ":" + std::to_string(requestedPort_), credentials, &selected);
  builder.RegisterService(impl_.get());
  // Room for a commit well over the bound, so that it is refused with the bound's own message.
  builder.SetMaxReceiveMessageSize(static_cast<int>(kMaxRequestBytes));
  server_ = builder.BuildAndStart();
  if (!server_ || selected == 0) {
    if (error) *error = "the document service cannot listen on " + host_ + ":" + std::to_string(requestedPort_);
    server_.reset();
    return false;
  }
  port_ = static_cast<uint16_t>(selected);
  return true;
}

void DocumentService::stop() {
  if (server_) {
    server_->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(200));
    server_->Wait();
    server_.reset();
  }
}

namespace {

// Why the admin interface refuses `path` as a document (or collection) path, or "" when it takes it.
// Segments must be valid UTF-8 (every reply shows them as JSON text), and neither "." nor "..",
// which HTTP clients rewrite before they send.
std::string adminPathProblem(const std::string& path, bool document) {
  if (path.empty()) return "the path is empty";
  for (const auto& segment : splitPath(path)) {
    if (segment.empty()) return "the path has an empty segment";
    if (!platform::isValidUtf8(segment)) return "the path is not valid UTF-8";
    if (segment == "." || segment == "..") return "a path segment is \".\" or \"..\"";
  }
  std::string problem = longSegmentProblem(path);
  if (!problem.empty()) return problem;
  if (!validPath(path, document))
    return document ? "not a document path (collection/document/...)" : "not a collection path";
  return "";
}

bool checkAdminPath(const std::string& path, bool document, std::string* error) {
  std::string problem = adminPathProblem(path, document);
  if (problem.empty()) return true;
  if (error) *error = pathRefusal(problem, path);
  return false;
}

}  // namespace

std::optional<StoreVersion> DocumentService::adminSet(const std::string& path, const nlohmann::json& fields,
                                                      bool merge, std::string* error) {
  if (!checkAdminPath(path, true, error)) return std::nullopt;
  if (!fields.is_object()) {
    if (error) *error = "the fields must be a JSON object";
    return std::nullopt;
  }
  v1::Value map;
  if (!jsonToValue(fields, &map, error)) return std::nullopt;
  v1::Write write;
  write.mutable_update()->set_name(store_->documentName(path));
  if (map.has_map_value()) *write.mutable_update()->mutable_fields() = map.map_value().fields();
  if (merge) {
    // Every leaf given is written; other fields stay.
    std::function<void(const nlohmann::json&, const std::string&)> leaves = [&](const nlohmann::json& j,
                                                                                const std::string& prefix) {
      for (const auto& [k, v] : j.items()) {
        std::string quoted = "`";
        for (char c : k) {
          if (c == '`' || c == '\\') quoted += '\\';
          quoted += c;
        }
        quoted += "`";
        std::string p = prefix.empty() ? quoted : prefix + "." + quoted;
        if (v.is_object() && !v.empty() && !v.contains("__timestamp") && !v.contains("__bytes")) leaves(v, p);
        else write.mutable_update_mask()->add_field_paths(p);
      }
    };
    leaves(fields, "");
  }
  if (!impl_->validator.IsWrite(write)) {
    if (error) *error = "invalid fields";
    return std::nullopt;
  }
  CommitOutcome outcome = store_->commit({write}, nullptr);
  if (outcome.code != 0) {
    if (error) *error = outcome.message;
    return std::nullopt;
  }
  return outcome.version;
}

std::optional<StoreVersion> DocumentService::adminDelete(const std::string& path, std::string* error) {
  // One that an earlier version stored under a name no route takes now (not UTF-8, a segment too
  // long) goes by that name's bytes.
  const bool storedSo = (!platform::isValidUtf8(path) || !longSegmentProblem(path).empty()) &&
                        (store_->get(path) || store_->setAside().count(path));
  if (!storedSo && !checkAdminPath(path, true, error)) return std::nullopt;
  v1::Write write;
  write.set_delete_(store_->documentName(path));
  CommitOutcome outcome = store_->commit({write}, nullptr);
  if (outcome.code != 0) {
    if (error) *error = outcome.message;
    return std::nullopt;
  }
  return outcome.version;
}

namespace {
// Whatever is stored can be shown: names and texts that are not valid UTF-8 (stored before they were
// refused) come escaped, and the document says so. One set aside as too deep shows no fields, and
// says so.
nlohmann::json documentJson(const std::string& path, const v1::Document& doc, bool setAside = false) {
  bool escaped = false;
  nlohmann::json out = {{"path", showUtf8(path, &escaped)}, {"updateTime", versionOfTimestamp(doc.update_time())}};
  if (setAside) {
    out["tooDeep"] = true;
  } else {
    nlohmann::json fields = nlohmann::json::object();
    for (const auto& [k, v] : doc.fields()) fields[showUtf8(k, &escaped)] = valueToJson(v, &escaped);
    out["fields"] = std::move(fields);
  }
  if (escaped) out["escaped"] = true;
  return out;
}
}  // namespace

nlohmann::json DocumentService::adminGet(const std::string& path) const {
  if (auto doc = store_->get(path)) return documentJson(path, *doc);
  auto setAside = store_->setAside();
  auto it = setAside.find(path);
  return it == setAside.end() ? nullptr : documentJson(path, *it->second, true);
}

void DocumentService::setStreamFaultForTesting(StreamFault fault) {
  std::lock_guard<std::mutex> lock(faultMutex_);
  streamFault_ = std::move(fault);
}

void DocumentService::refuseQueriesOnForTesting(const std::string& collection) {
  std::lock_guard<std::mutex> lock(refusedMutex_);
  refusedCollection_ = collection;
}

nlohmann::json DocumentService::adminList(const std::string& collectionPath) const {
  std::map<std::string, nlohmann::json> byPath;
  const std::string prefix = collectionPath + "/";
  auto collect = [&](const std::map<std::string, DocumentPtr>& docs, bool setAside) {
    for (auto it = docs.lower_bound(prefix); it != docs.end(); ++it) {
      if (it->first.compare(0, prefix.size(), prefix) != 0) break;
      if (it->first.find('/', prefix.size()) != std::string::npos) continue;
      byPath[it->first] = documentJson(it->first, *it->second, setAside);
    }
  };
  store_->read([&](const std::map<std::string, DocumentPtr>& docs, const Tombstones&, StoreVersion) {
    collect(docs, false);
  });
  collect(store_->setAside(), true);
  nlohmann::json list = nlohmann::json::array();
  for (auto& [path, doc] : byPath) list.push_back(std::move(doc));
  return {{"documents", list}};
}

void DocumentService::registerRoutes(httplib::Server& server) {
  const std::string pattern = std::string(kAdminPrefix) + "(.+)";
  auto loopbackOnly = [](const httplib::Request& req, httplib::Response& res) {
    const std::string& a = req.remote_addr;
    if (a.rfind("127.", 0) == 0 || a == "::1" || a == "::ffff:127.0.0.1") return true;
    res.status = 403;
    res.set_content(R"({"error":"the admin interface answers loopback clients only"})", "application/json");
    return false;
  };
  auto reply = [](httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    // Everything shown is valid UTF-8 already; should a text slip through, it must not cost the reply.
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
  };
  server.Get(pattern, [=](const httplib::Request& req, httplib::Response& res) {
    if (!loopbackOnly(req, res)) return;
    std::string path = req.matches[1];
    std::string error;
    const bool document = splitPath(path).size() % 2 == 0;
    if (!checkAdminPath(path, document, &error)) return reply(res, 400, {{"error", error}});
    if (!document) return reply(res, 200, adminList(path));
    nlohmann::json doc = adminGet(path);
    if (doc.is_null()) return reply(res, 404, {{"error", "no document " + quoteInput(path)}});
    reply(res, 200, doc);
  });
  auto write = [=](bool merge) {
    return [=](const httplib::Request& req, httplib::Response& res) {
      if (!loopbackOnly(req, res)) return;
      auto body = parseJSON(req.body);
      if (body.is_discarded()) return reply(res, 400, {{"error", "the body is not JSON"}});
      std::string error;
      auto version = adminSet(req.matches[1], body, merge, &error);
      if (!version) return reply(res, 400, {{"error", error}});
      reply(res, 200, {{"version", *version}});
    };
  };
  server.Put(pattern, write(false));
  server.Patch(pattern, write(true));
  server.Delete(pattern, [=](const httplib::Request& req, httplib::Response& res) {
    if (!loopbackOnly(req, res)) return;
    std::string error;
    auto version = adminDelete(req.matches[1], &error);
    if (!version) return reply(res, 400, {{"error", error}});
    reply(res, 200, {{"version", *version}});
  });
}

}  // namespace backend
