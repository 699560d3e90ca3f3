#include "backend/src/DocumentStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <utility>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/wire_format_lite.h>
#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include "davedove/verorariv/local/leveldb_owner_only_env.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/timestamp.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/remote/wire_validator.h"
#include "backend/src/Service.h"
#include "platform/foundation/DamagedInput.h"

namespace backend {

namespace v1 = variru::verorariv::v1;
namespace model = davedove::verorariv::model;
using davedove::Timestamp;
using davedove::verorariv::remote::VRVSerializerBeta;

static_assert(kMaxNesting == davedove::verorariv::remote::WireValidator::kMaxDepth,
              "stored documents nest as deep as the values of a write");

namespace {

constexpr char kDocPrefix[] = "doc/";
constexpr char kTombPrefix[] = "tomb/";
constexpr char kVersionKey[] = "meta/version";

StoreVersion nowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string encodeVersion(StoreVersion v) { return std::to_string(v); }

StoreVersion decodeVersion(const std::string& s) {
  try {
    return std::stoll(s);
  } catch (...) {
    return 0;
  }
}

// Fills `message` from its encoding without the UTF-8 check of its texts that the generated parser
// makes: an earlier version stored ids and names that are not UTF-8, and its store must still open.
// False when the bytes are no such message.
bool parseWithoutUtf8Check(const std::string& bytes, google::protobuf::Message* message, int depth = 0) {
  using google::protobuf::FieldDescriptor;
  using google::protobuf::UnknownField;
  google::protobuf::UnknownFieldSet fields;
  if (depth > 100 || !fields.ParseFromString(bytes)) return false;
  const google::protobuf::Reflection* reflection = message->GetReflection();
  for (int i = 0; i < fields.field_count(); ++i) {
    const UnknownField& f = fields.field(i);
    const FieldDescriptor* field = message->GetDescriptor()->FindFieldByNumber(f.number());
    if (!field) continue;  // of a later version
    const bool delimited = f.type() == UnknownField::TYPE_LENGTH_DELIMITED;
    const bool varint = f.type() == UnknownField::TYPE_VARINT;
    if (field->type() == FieldDescriptor::TYPE_MESSAGE && delimited) {
      auto* sub = field->is_repeated() ? reflection->AddMessage(message, field) : reflection->MutableMessage(message, field);
      if (!parseWithoutUtf8Check(f.length_delimited(), sub, depth + 1)) return false;
    } else if (field->is_repeated()) {
      return false;  // no such field in a document
    } else if ((field->type() == FieldDescriptor::TYPE_STRING || field->type() == FieldDescriptor::TYPE_BYTES) &&
               delimited) {
      reflection->SetString(message, field, f.length_delimited());
    } else if (field->type() == FieldDescriptor::TYPE_INT64 && varint) {
      reflection->SetInt64(message, field, static_cast<int64_t>(f.varint()));
    } else if (field->type() == FieldDescriptor::TYPE_INT32 && varint) {
      reflection->SetInt32(message, field, static_cast<int32_t>(f.varint()));
    } else if (field->type() == FieldDescriptor::TYPE_BOOL && varint) {
      reflection->SetBool(message, field, f.varint() != 0);
    } else if (field->type() == FieldDescriptor::TYPE_ENUM && varint) {
      reflection->SetEnumValue(message, field, static_cast<int>(f.varint()));
    } else if (field->type() == FieldDescriptor::TYPE_DOUBLE && f.type() == UnknownField::TYPE_FIXED64) {
      const uint64_t raw = f.fixed64();
      double value;
      std::memcpy(&value, &raw, sizeof value);
      reflection->SetDouble(message, field, value);
    } else {
      return false;
    }
  }
  return true;
}

// How deep the values of a stored document nest, counted as a write's are (-1: it has no fields), or
// the first depth found over `limit`; nullopt when the bytes are no document. Walks the encoding with
// a stack of its own: an earlier version stored documents nesting deeper than a parser may recurse.
std::optional<int> storedNesting(const std::string& bytes, int limit) {
  using google::protobuf::FieldDescriptor;
  using google::protobuf::internal::WireFormatLite;
  struct Message {
    size_t begin;
    size_t size;
    const google::protobuf::Descriptor* type;
    int depth;  // of the value it is in
  };
  std::vector<Message> pending{{0, bytes.size(), v1::Document::descriptor(), -1}};
  int deepest = -1;
  while (!pending.empty()) {
    const Message m = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, m.depth);
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data() + m.begin),
                                              static_cast<int>(m.size));
    while (const uint32_t tag = in.ReadTag()) {
      const FieldDescriptor* field = m.type->FindFieldByNumber(WireFormatLite::GetTagFieldNumber(tag));
      if (!field || field->type() != FieldDescriptor::TYPE_MESSAGE ||
          WireFormatLite::GetTagWireType(tag) != WireFormatLite::WIRETYPE_LENGTH_DELIMITED) {
        if (!WireFormatLite::SkipField(&in, tag)) return std::nullopt;
        continue;
      }
      uint32_t length = 0;
      if (!in.ReadVarint32(&length)) return std::nullopt;
      const size_t at = static_cast<size_t>(in.CurrentPosition());
      if (length > m.size - at) return std::nullopt;
      const int depth = m.depth + (field->message_type() == v1::Value::descriptor() ? 1 : 0);
      if (depth > limit) return depth;
      pending.push_back({m.begin + at, length, field->message_type(), depth});
      in.Skip(static_cast<int>(length));
    }
    if (static_cast<size_t>(in.CurrentPosition()) != m.size) return std::nullopt;
  }
  return deepest;
}

// What the access rules and the admin interface need of a document set aside: its name, its times
// and the "userId" text it names, read from the top of its encoding alone; null when that is damaged.
std::shared_ptr<v1::Document> shallowDocument(const std::string& bytes) {
  using google::protobuf::UnknownField;
  using google::protobuf::UnknownFieldSet;
  // The single field of `set` with the number, when it is length-delimited.
  auto only = [](const UnknownFieldSet& set, int number) -> const std::string* {
    const UnknownField* found = nullptr;
    for (int i = 0; i < set.field_count(); ++i) {
      if (set.field(i).number() != number) continue;
      if (found || set.field(i).type() != UnknownField::TYPE_LENGTH_DELIMITED) return nullptr;
      found = &set.field(i);
    }
    return found ? &found->length_delimited() : nullptr;
  };
  UnknownFieldSet top, kept;
  if (!top.ParseFromString(bytes)) return nullptr;
  for (int i = 0; i < top.field_count(); ++i) {
    const UnknownField& f = top.field(i);
    if (f.number() == v1::Document::kFieldsFieldNumber) {
      UnknownFieldSet entry, value;
      if (f.type() != UnknownField::TYPE_LENGTH_DELIMITED || !entry.ParseFromString(f.length_delimited())) continue;
      const std::string* key = only(entry, 1);
      const std::string* encodedValue = key && *key == "userId" ? only(entry, 2) : nullptr;
      if (!encodedValue || !value.ParseFromString(*encodedValue) || value.field_count() != 1 ||
          !only(value, v1::Value::kStringValueFieldNumber))
        continue;
    }
    kept.AddField(f);
  }
  std::string encoded;
  auto doc = std::make_shared<v1::Document>();
  if (!kept.SerializeToString(&encoded) || !parseWithoutUtf8Check(encoded, doc.get())) return nullptr;
  return doc;
}

// Whether the value nests no deeper than kMaxNesting, `depth` being its own depth.
bool withinNesting(const v1::Value& value, int depth) {
  if (depth > kMaxNesting) return false;
  if (value.has_array_value()) {
    for (const auto& element : value.array_value().values())
      if (!withinNesting(element, depth + 1)) return false;
  } else if (value.has_map_value()) {
    for (const auto& [name, field] : value.map_value().fields())
      if (!withinNesting(field, depth + 1)) return false;
  }
  return true;
}

model::SnapshotVersion snapshotOf(StoreVersion v) {
  return model::SnapshotVersion(Timestamp(v / 1000000, static_cast<int32_t>((v % 1000000) * 1000)));
}

}  // namespace

std::string userIdOf(const v1::Document* doc) {
  if (!doc) return {};
  auto it = doc->fields().find("userId");
  if (it == doc->fields().end() || it->second.value_type_case() != v1::Value::kStringValue) return {};
  return it->second.string_value();
}

google::protobuf::Timestamp timestampOfVersion(StoreVersion version) {
  google::protobuf::Timestamp t;
  t.set_seconds(version / 1000000);
  t.set_nanos(static_cast<int32_t>((version % 1000000) * 1000));
  return t;
}

StoreVersion versionOfTimestamp(const google::protobuf::Timestamp& timestamp) {
  return timestamp.seconds() * 1000000 + timestamp.nanos() / 1000;
}

DocumentStore::DocumentStore(std::string projectId)
    : projectId_(std::move(projectId)),
      databaseName_("projects/" + projectId_ + "/databases/(default)"),
      // An empty store is still at a version: snapshots read from it need a non-zero read time.
      version_(nowMicros()) {}

DocumentStore::~DocumentStore() = default;

std::string DocumentStore::documentName(const std::string& path) const {
  return databaseName_ + "/documents/" + path;
}

std::optional<std::string> DocumentStore::pathOfName(const std::string& name) const {
  return davedove::verorariv::remote::WireValidator(model::DatabaseId(projectId_, model::DatabaseId::kDefault))
      .DocumentPath(name);
}

bool DocumentStore::open(const std::string& directory, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "cannot open the document store at " + directory + ": " + why;
    return false;
  };
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return fail(std::strerror(errno));
  // LevelDB would start an empty store over the tables and delete them.
  if (auto table = platform::levelDbTablesWithoutCurrent(directory))
    return fail("it has lost its CURRENT file but still holds " + *table + "; it is left as it is");
  leveldb::Options options;
  options.create_if_missing = true;
  options.env = davedove::verorariv::local::LevelDbOwnerOnlyEnv();  // PINs and e-mail addresses
  // A damaged log record fails the open instead of dropping an acknowledged write.
  options.paranoid_checks = true;
  leveldb::DB* db = nullptr;
  leveldb::Status s = leveldb::DB::Open(options, directory, &db);
  if (!s.ok()) return fail(s.ToString());
  davedove::verorariv::local::NarrowLevelDbStore(directory);
  std::lock_guard<std::mutex> lock(mutex_);
  db_.reset(db);
  documents_.clear();
  setAside_.clear();
  tombstones_.clear();
  std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(leveldb::ReadOptions()));
  for (it->SeekToFirst(); it->Valid(); it->Next()) {
    std::string key = it->key().ToString();
    std::string value = it->value().ToString();
    if (key.rfind(kDocPrefix, 0) == 0) {
      const std::string path = key.substr(sizeof(kDocPrefix) - 1);
      const std::optional<int> nesting = storedNesting(value, kMaxNesting);
      if (nesting && *nesting > kMaxNesting) {
        // Stored before the bound: the store opens without it, and it can still go.
        if (auto shallow = shallowDocument(value)) {
          setAside_[path] = std::move(shallow);
          std::cerr << "vorellin-backend: the stored document " << showInLog(path) << " nests deeper than "
                    << kMaxNesting << " levels; it is set aside until it is replaced or deleted" << std::endl;
          continue;
        }
      }
      auto doc = std::make_shared<v1::Document>();
      if (!nesting || *nesting > kMaxNesting ||
          (!doc->ParseFromString(value) && (doc->Clear(), !parseWithoutUtf8Check(value, doc.get())))) {
        if (error) *error = "a stored document is damaged: " + showInLog(key);
        return false;
      }
      documents_[path] = std::move(doc);
    } else if (key.rfind(kTombPrefix, 0) == 0) {
      // "<version> <userId>"; stores of before the userId hold the version alone.
      size_t space = value.find(' ');
      tombstones_[key.substr(sizeof(kTombPrefix) - 1)] = {
          decodeVersion(value.substr(0, space)), space == std::string::npos ? "" : value.substr(space + 1)};
    } else if (key == kVersionKey) {
      version_ = std::max(version_, decodeVersion(value));
    }
  }
  return true;
}

StoreVersion DocumentStore::nextVersion() {
  StoreVersion v = nowMicros();
  if (v <= version_) v = version_ + 1;
  return v;
}

CommitOutcome DocumentStore::commit(const std::vector<v1::Write>& writes, const WriteCheck& check) {
  VRVSerializerBeta serializer(model::DatabaseId(projectId_, model::DatabaseId::kDefault));
  std::lock_guard<std::mutex> lock(mutex_);
  CommitOutcome outcome;
  StoreVersion version = nextVersion();
  model::SnapshotVersion commitVersion = snapshotOf(version);
  Timestamp commitTime = commitVersion.timestamp();

  // Working copies: path -> document after the writes so far (null: missing).
  std::map<std::string, DocumentPtr> working;
  std::vector<std::string> order;
  auto refused = [&](const std::string& path, const v1::Document* before, v1::Document* after) {
    std::string message;
    int code = check ? check(path, before, after, &message) : 0;
    if (code == 0) return false;
    outcome.code = code;
    outcome.message = message;
    return true;
  };
  auto fail = [&](int code, std::string message) {
    outcome.code = code;
    outcome.message = std::move(message);
    outcome.results.clear();
    return outcome;
  };
  auto stored = [&](const std::string& path) -> DocumentPtr {
    auto d = documents_.find(path);
    if (d != documents_.end()) return d->second;
    auto a = setAside_.find(path);
    return a == setAside_.end() ? nullptr : a->second;
  };
  auto current = [&](const std::string& path) -> DocumentPtr {
    auto w = working.find(path);
    return w != working.end() ? w->second : stored(path);
  };
  const std::string levels = std::to_string(kMaxNesting) + " levels";

  for (const v1::Write& write : writes) {
    model::MutationPtr mutation = serializer.decodedMutation(write);
    std::string path = mutation->key().path().CanonicalString();
    // Before any path is followed: the model follows one by recursion, a segment at a time.
    if (const model::FieldMask* mask = mutation->fieldMask()) {
      for (const model::FieldPath& field : *mask)
        if (field.size() > static_cast<size_t>(kMaxNesting) + 1)
          return fail(3 /* INVALID_ARGUMENT */, "The write to " + quoteInput(path) + " names a field path of " +
                                                    std::to_string(field.size()) +
                                                    " segments; a document may not nest deeper than " + levels);
    }
    DocumentPtr before = current(path);

    model::MaybeDocumentPtr beforeDoc;
    if (before) {
      beforeDoc = model::VRVDocument::documentWithData(
          serializer.decodedFields(before->fields()), mutation->key(),
          model::SnapshotVersion(serializer.decodedTimestamp(before->update_time())),
          model::DocumentState::Synced);
    }
    if (!mutation->precondition().IsValidFor(beforeDoc.get())) {
      // The answer tells of the document as it stands: only for a caller who may change it.
      if (refused(path, before.get(), nullptr)) return outcome;
      const model::Precondition& p = mutation->precondition();
      if (p.type() == model::Precondition::Type::Exists) {
        outcome.code = p.exists() ? 5 /* NOT_FOUND */ : 6 /* ALREADY_EXISTS */;
        outcome.message = p.exists() ? "No document to update: " + quoteInput(path)
                                     : "Document already exists: " + quoteInput(path);
      } else {
        outcome.code = 9;  // FAILED_PRECONDITION
        outcome.message = "The document's update time does not match: " + quoteInput(path);
      }
      return outcome;
    }
    // Set aside, it holds only what the rules need: a merge into it would lose the rest.
    if (mutation->fieldMask() && working.find(path) == working.end() && setAside_.count(path)) {
      if (refused(path, before.get(), nullptr)) return outcome;
      return fail(9 /* FAILED_PRECONDITION */, "The stored document " + quoteInput(path) + " nests deeper than " +
                                                   levels + " and cannot be read; it can only be replaced whole or deleted");
    }

    std::optional<std::vector<model::FieldValuePtr>> transformResults;
    if (auto transform = std::dynamic_pointer_cast<const model::VRVTransformMutation>(mutation)) {
      std::vector<model::FieldValuePtr> results;
      auto doc = std::dynamic_pointer_cast<const model::VRVDocument>(beforeDoc);
      const model::DAVTimestamp now(commitTime.seconds(), commitTime.nanoseconds());
      for (const model::FieldTransform& ft : transform->fieldTransforms()) {
        switch (ft.transformation().type()) {
          case model::TransformOperation::Type::ServerTimestamp:
            results.push_back(model::VRVTimestampValue::timestampValue(now));
            break;
          case model::TransformOperation::Type::ArrayUnion:
          case model::TransformOperation::Type::ArrayRemove:
            // Whoever takes the result applies the transform to the value it had, so the answer
            // need not carry the whole array: it stays as small as the request.
            results.push_back(model::VRVNullValue::nullValue());
            break;
          default:
            results.push_back(ft.transformation().ApplyLocal(doc ? doc->fieldForPath(ft.path()) : nullptr, now));
        }
      }
      transformResults = std::move(results);
    }

    model::VRVMutationResult mutationResult(commitVersion, transformResults);
    model::MaybeDocumentPtr afterDoc = mutation->applyToRemoteDocument(beforeDoc, mutationResult);

    std::shared_ptr<v1::Document> proto;
    if (auto doc = std::dynamic_pointer_cast<const model::VRVDocument>(afterDoc)) {
      proto = std::make_shared<v1::Document>();
      proto->set_name(documentName(path));
      *proto->mutable_fields() = serializer.encodedFields(*doc->data());
      *proto->mutable_create_time() =
          before ? before->create_time() : timestampOfVersion(version);
      *proto->mutable_update_time() = timestampOfVersion(version);
    }

    if (refused(path, before.get(), proto.get())) return outcome;
    if (proto && !std::all_of(proto->fields().begin(), proto->fields().end(),
                              [](const auto& field) { return withinNesting(field.second, 0); }))
      return fail(3 /* INVALID_ARGUMENT */, "The document " + quoteInput(path) + " would nest deeper than " + levels);
    DocumentPtr after = std::move(proto);

    v1::WriteResult result;
    *result.mutable_update_time() = timestampOfVersion(version);
    if (transformResults) {
      for (const auto& value : *transformResults) {
        *result.add_transform_results() = serializer.encodedFieldValue(*value);
      }
    }
    outcome.results.push_back(std::move(result));

    if (working.find(path) == working.end()) order.push_back(path);
    working[path] = after;
  }

  // Every write is valid: store it, then make it visible. A change that could not be stored is
  // refused as a whole, so no client is told of a write that a restart would lose.
  ChangeSet changeSet;
  changeSet.version = version;
  leveldb::WriteBatch batch;
  for (const std::string& path : order) {
    DocumentPtr before = stored(path);
    DocumentPtr after = working[path];
    if (after) {
      std::string encoded = after->SerializeAsString();
      if (encoded.size() > kMaxDocumentBytes) {
        outcome.code = 3;  // INVALID_ARGUMENT: no retry makes it smaller
        outcome.message = "The document " + quoteInput(path) + " would be " + std::to_string(encoded.size()) +
                          " bytes; a document holds at most " + std::to_string(kMaxDocumentBytes) + " bytes";
        outcome.results.clear();
        return outcome;
      }
      changeSet.bytes += encoded.size();
      batch.Put(kDocPrefix + path, encoded);
      batch.Delete(kTombPrefix + path);
    } else if (before) {
      batch.Delete(kDocPrefix + path);
      batch.Put(kTombPrefix + path, encodeVersion(version) + " " + userIdOf(before.get()));
    }
    if (before || after) changeSet.changes.push_back({path, before, after});
  }
  batch.Put(kVersionKey, encodeVersion(version));
  if (db_) {
    leveldb::Status s = db_->Write(leveldb::WriteOptions(), &batch);
    if (!s.ok()) {
      outcome.code = 14;  // UNAVAILABLE: worth retrying
      outcome.message = "The document store cannot write: " + s.ToString();
      outcome.results.clear();
      return outcome;
    }
  }
  for (const auto& change : changeSet.changes) {
    setAside_.erase(change.path);
    if (change.after) {
      documents_[change.path] = change.after;
      tombstones_.erase(change.path);
    } else {
      documents_.erase(change.path);
      tombstones_[change.path] = {version, userIdOf(change.before.get())};
    }
  }
  version_ = version;
  outcome.version = version;
  for (auto& [id, subscriber] : subscribers_) subscriber(changeSet);
  return outcome;
}

void DocumentStore::read(const std::function<void(const std::map<std::string, DocumentPtr>&,
                                                  const Tombstones&,
                                                  StoreVersion)>& reader) const {
  std::lock_guard<std::mutex> lock(mutex_);
  reader(documents_, tombstones_, version_);
}

DocumentStore::DocumentPtr DocumentStore::get(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = documents_.find(path);
  return it == documents_.end() ? nullptr : it->second;
}

StoreVersion DocumentStore::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

std::map<std::string, DocumentStore::DocumentPtr> DocumentStore::setAside() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return setAside_;
}

int DocumentStore::subscribe(Subscriber subscriber) {
  std::lock_guard<std::mutex> lock(mutex_);
  int id = nextSubscriber_++;
  subscribers_[id] = std::move(subscriber);
  return id;
}

void DocumentStore::unsubscribe(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.erase(id);
}

size_t DocumentStore::subscriberCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscribers_.size();
}

}  // namespace backend
