#include "davedove/verorariv/local/leveldb_key.h"

#include <limits>
#include <utility>
#include <vector>

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/ordered_code.h"

namespace davedove {
namespace verorariv {
namespace local {

using model::DocumentKey;
using model::ResourcePath;
using util::OrderedCode;

namespace {

const char* const kVersionTable = "version";
const char* const kMutationsTable = "mutation";
const char* const kDocumentMutationsTable = "document_mutation";
const char* const kMutationQueuesTable = "mutation_queue";
const char* const kTargetGlobalTable = "target_global";
const char* const kTargetsTable = "target";
const char* const kQueryTargetsTable = "query_target";
const char* const kTargetDocumentsTable = "target_document";
const char* const kDocumentTargetsTable = "document_target";
const char* const kRemoteDocumentsTable = "remote_document";
const char* const kCollectionParentsTable = "collection_parent";

// Labels of the key components. Stored format: the numbers never change, and every one stays
// below 64 so that it encodes as one byte.
enum ComponentLabel : int64_t {
  Terminator = 0,
  TableName = 5,
  BatchIdLabel = 10,
  CanonicalId = 11,
  TargetIdLabel = 12,
  UserId = 13,
  CollectionId = 14,
  PathSegment = 62,
};

std::string EncodedLabel(ComponentLabel label) {
  std::string encoded;
  OrderedCode::WriteSignedNumIncreasing(&encoded, label);
  return encoded;
}

class Writer {
 public:
  void WriteLabel(ComponentLabel label) { OrderedCode::WriteSignedNumIncreasing(&dest_, label); }

  void WriteTerminator() { WriteLabel(Terminator); }

  void WriteTableName(absl::string_view name) { WriteLabelledString(TableName, name); }

  void WriteBatchId(BatchId id) { WriteLabelledNumber(BatchIdLabel, id); }
  void WriteTargetId(TargetId id) { WriteLabelledNumber(TargetIdLabel, id); }
  void WriteCanonicalId(absl::string_view id) { WriteLabelledString(CanonicalId, id); }
  void WriteUserId(absl::string_view id) { WriteLabelledString(UserId, id); }
  void WriteCollectionId(absl::string_view id) { WriteLabelledString(CollectionId, id); }

  void WriteResourcePath(const ResourcePath& path) {
    for (const std::string& segment : path) {
      WriteLabelledString(PathSegment, segment);
    }
  }

  std::string Release() { return std::move(dest_); }

 private:
  void WriteLabelledString(ComponentLabel label, absl::string_view value) {
    WriteLabel(label);
    OrderedCode::WriteString(&dest_, value);
  }

  void WriteLabelledNumber(ComponentLabel label, int64_t value) {
    WriteLabel(label);
    OrderedCode::WriteSignedNumIncreasing(&dest_, value);
  }

  std::string dest_;
};

// Reads components from the front of a key. The first failure clears ok for good; every read after
// it fails at once and yields an empty or zero value. Numbers are read without asserting on
// non-canonical forms, since a stored key may be corrupt.
class Reader {
 public:
  explicit Reader(absl::string_view source) : source_(source) {}

  bool ok() const { return ok_; }
  bool empty() const { return source_.empty(); }
  absl::string_view source() const { return source_; }
  void set_source(absl::string_view source) { source_ = source; }

  int64_t ReadLabel() {
    if (!ok_) return 0;
    int64_t label = 0;
    if (!OrderedCode::TryReadSignedNumIncreasing(&source_, &label)) {
      ok_ = false;
      return 0;
    }
    return label;
  }

  std::string ReadString() {
    if (!ok_) return std::string();
    std::string result;
    if (!OrderedCode::ReadString(&source_, &result)) {
      ok_ = false;
      return std::string();
    }
    return result;
  }

  std::string ReadLabelledString(ComponentLabel expected) {
    int64_t label = ReadLabel();
    if (!ok_ || label != expected) {
      ok_ = false;
      return std::string();
    }
    return ReadString();
  }

  int32_t ReadLabelledInt32(ComponentLabel expected) {
    int64_t label = ReadLabel();
    if (!ok_ || label != expected) {
      ok_ = false;
      return 0;
    }
    int64_t value = 0;
    if (!OrderedCode::TryReadSignedNumIncreasing(&source_, &value)) {
      ok_ = false;
      return 0;
    }
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
      ok_ = false;
      return 0;
    }
    return static_cast<int32_t>(value);
  }

  void ReadTableNameMatching(absl::string_view name) {
    std::string table = ReadLabelledString(TableName);
    if (ok_ && table != name) ok_ = false;
  }

  BatchId ReadBatchId() { return ReadLabelledInt32(BatchIdLabel); }
  TargetId ReadTargetId() { return ReadLabelledInt32(TargetIdLabel); }
  std::string ReadCanonicalId() { return ReadLabelledString(CanonicalId); }
  std::string ReadUserId() { return ReadLabelledString(UserId); }
  std::string ReadCollectionId() { return ReadLabelledString(CollectionId); }

  // Consecutive path segments; stops before the first component that is not one.
  ResourcePath ReadResourcePath() {
    std::vector<std::string> segments;
    while (ok_ && !source_.empty()) {
      absl::string_view before = source_;
      int64_t label = ReadLabel();
      if (!ok_ || label != PathSegment) {
        source_ = before;
        break;
      }
      std::string segment = ReadString();
      if (ok_) segments.push_back(std::move(segment));
    }
    return ResourcePath(std::move(segments));
  }

  DocumentKey ReadDocumentKey() {
    ResourcePath path = ReadResourcePath();
    if (!ok_ || path.empty() || !DocumentKey::IsDocumentKey(path)) {
      ok_ = false;
      return DocumentKey();
    }
    return DocumentKey(std::move(path));
  }

  // Whether everything read so far was fine and the next component is the terminator.
  bool ReadTerminator() {
    int64_t label = ReadLabel();
    return ok_ && label == Terminator;
  }

 private:
  absl::string_view source_;
  bool ok_ = true;
};

Writer TableWriter(absl::string_view table) {
  Writer writer;
  writer.WriteTableName(table);
  return writer;
}

std::string TablePrefix(absl::string_view table) { return TableWriter(table).Release(); }

std::string TableKey(absl::string_view table) {
  Writer writer = TableWriter(table);
  writer.WriteTerminator();
  return writer.Release();
}

}  // namespace

std::string DescribeKey(leveldb::Slice key) {
  absl::string_view whole(key.data(), key.size());
  Reader reader(whole);
  std::string description = "[";

  bool invalid = false;
  for (;;) {
    if (reader.empty()) {
      description += " incomplete key";
      break;
    }
    absl::string_view before = reader.source();
    int64_t label = reader.ReadLabel();
    if (!reader.ok() || static_cast<uint64_t>(label) >= 64) {
      invalid = true;
      break;
    }
    if (label == Terminator) {
      invalid = !reader.empty();
      break;
    }
    reader.set_source(before);
    switch (label) {
      case TableName:
        absl::StrAppend(&description, reader.ReadLabelledString(TableName), ":");
        break;
      case BatchIdLabel:
        absl::StrAppend(&description, " batch_id=", reader.ReadBatchId());
        break;
      case TargetIdLabel:
        absl::StrAppend(&description, " target_id=", reader.ReadTargetId());
        break;
      case CanonicalId:
        absl::StrAppend(&description, " canonical_id=", reader.ReadCanonicalId());
        break;
      case UserId:
        absl::StrAppend(&description, " user_id=", reader.ReadUserId());
        break;
      case CollectionId:
        absl::StrAppend(&description, " collection_id=", reader.ReadCollectionId());
        break;
      case PathSegment:
        absl::StrAppend(&description, " path=", reader.ReadResourcePath().CanonicalString());
        break;
      default:
        absl::StrAppend(&description, " unknown label=", label);
        invalid = true;
        break;
    }
    if (invalid || !reader.ok()) {
      invalid = true;
      break;
    }
  }

  if (invalid) {
    absl::StrAppend(&description, " invalid key=<", absl::Base64Escape(whole), ">");
  }
  description += "]";
  return description;
}

std::string DescribeKey(absl::string_view key) {
  return DescribeKey(leveldb::Slice(key.data(), key.size()));
}

std::string DescribeKey(const std::string& key) { return DescribeKey(leveldb::Slice(key)); }

std::string DescribeKey(const char* key) { return DescribeKey(leveldb::Slice(key)); }

// version

std::string LevelDbVersionKey::Key() { return TableKey(kVersionTable); }

// mutation

std::string LevelDbMutationKey::KeyPrefix() { return TablePrefix(kMutationsTable); }

std::string LevelDbMutationKey::KeyPrefix(absl::string_view user_id) {
  Writer writer = TableWriter(kMutationsTable);
  writer.WriteUserId(user_id);
  return writer.Release();
}

std::string LevelDbMutationKey::Key(absl::string_view user_id, BatchId batch_id) {
  Writer writer = TableWriter(kMutationsTable);
  writer.WriteUserId(user_id);
  writer.WriteBatchId(batch_id);
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbMutationKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kMutationsTable);
  user_id_ = reader.ReadUserId();
  batch_id_ = reader.ReadBatchId();
  return reader.ReadTerminator();
}

// document_mutation

std::string LevelDbDocumentMutationKey::KeyPrefix() { return TablePrefix(kDocumentMutationsTable); }

std::string LevelDbDocumentMutationKey::KeyPrefix(absl::string_view user_id) {
  Writer writer = TableWriter(kDocumentMutationsTable);
  writer.WriteUserId(user_id);
  return writer.Release();
}

std::string LevelDbDocumentMutationKey::KeyPrefix(absl::string_view user_id,
                                                  const ResourcePath& resource_path) {
  Writer writer = TableWriter(kDocumentMutationsTable);
  writer.WriteUserId(user_id);
  writer.WriteResourcePath(resource_path);
  return writer.Release();
}

std::string LevelDbDocumentMutationKey::Key(absl::string_view user_id,
                                            const DocumentKey& document_key, BatchId batch_id) {
  Writer writer = TableWriter(kDocumentMutationsTable);
  writer.WriteUserId(user_id);
  writer.WriteResourcePath(document_key.path());
  writer.WriteBatchId(batch_id);
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbDocumentMutationKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kDocumentMutationsTable);
  user_id_ = reader.ReadUserId();
  document_key_ = reader.ReadDocumentKey();
  batch_id_ = reader.ReadBatchId();
  return reader.ReadTerminator();
}

// mutation_queue

std::string LevelDbMutationQueueKey::KeyPrefix() { return TablePrefix(kMutationQueuesTable); }

std::string LevelDbMutationQueueKey::Key(absl::string_view user_id) {
  Writer writer = TableWriter(kMutationQueuesTable);
  writer.WriteUserId(user_id);
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbMutationQueueKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kMutationQueuesTable);
  user_id_ = reader.ReadUserId();
  return reader.ReadTerminator();
}

// target_global

std::string LevelDbTargetGlobalKey::Key() { return TableKey(kTargetGlobalTable); }

bool LevelDbTargetGlobalKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kTargetGlobalTable);
  return reader.ReadTerminator();
}

// target

std::string LevelDbTargetKey::KeyPrefix() { return TablePrefix(kTargetsTable); }

std::string LevelDbTargetKey::Key(TargetId target_id) {
  Writer writer = TableWriter(kTargetsTable);
  writer.WriteTargetId(target_id);
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbTargetKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kTargetsTable);
  target_id_ = reader.ReadTargetId();
  return reader.ReadTerminator();
}

// query_target

std::string LevelDbQueryTargetKey::KeyPrefix() { return TablePrefix(kQueryTargetsTable); }

std::string LevelDbQueryTargetKey::KeyPrefix(absl::string_view canonical_id) {
  Writer writer = TableWriter(kQueryTargetsTable);
  writer.WriteCanonicalId(canonical_id);
  return writer.Release();
}

std::string LevelDbQueryTargetKey::Key(absl::string_view canonical_id, TargetId target_id) {
  Writer writer = TableWriter(kQueryTargetsTable);
  writer.WriteCanonicalId(canonical_id);
  writer.WriteTargetId(target_id);
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbQueryTargetKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kQueryTargetsTable);
  canonical_id_ = reader.ReadCanonicalId();
  target_id_ = reader.ReadTargetId();
  return reader.ReadTerminator();
}

// target_document

std::string LevelDbTargetDocumentKey::KeyPrefix() { return TablePrefix(kTargetDocumentsTable); }

std::string LevelDbTargetDocumentKey::KeyPrefix(TargetId target_id) {
  Writer writer = TableWriter(kTargetDocumentsTable);
  writer.WriteTargetId(target_id);
  return writer.Release();
}

std::string LevelDbTargetDocumentKey::Key(TargetId target_id, const DocumentKey& document_key) {
  Writer writer = TableWriter(kTargetDocumentsTable);
  writer.WriteTargetId(target_id);
  writer.WriteResourcePath(document_key.path());
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbTargetDocumentKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kTargetDocumentsTable);
  target_id_ = reader.ReadTargetId();
  document_key_ = reader.ReadDocumentKey();
  return reader.ReadTerminator();
}

// document_target

std::string LevelDbDocumentTargetKey::KeyPrefix() { return TablePrefix(kDocumentTargetsTable); }

std::string LevelDbDocumentTargetKey::KeyPrefix(const ResourcePath& resource_path) {
  Writer writer = TableWriter(kDocumentTargetsTable);
  writer.WriteResourcePath(resource_path);
  return writer.Release();
}

std::string LevelDbDocumentTargetKey::Key(const DocumentKey& document_key, TargetId target_id) {
  Writer writer = TableWriter(kDocumentTargetsTable);
  writer.WriteResourcePath(document_key.path());
  writer.WriteTargetId(target_id);
  writer.WriteTerminator();
  return writer.Release();
}

std::string LevelDbDocumentTargetKey::SentinelKey(const DocumentKey& document_key) {
  return Key(document_key, 0);
}

std::string LevelDbDocumentTargetKey::EncodeSentinelValue(ListenSequenceNumber sequence_number) {
  std::string encoded;
  OrderedCode::WriteSignedNumIncreasing(&encoded, sequence_number);
  return encoded;
}

ListenSequenceNumber LevelDbDocumentTargetKey::DecodeSentinelValue(absl::string_view value) {
  int64_t decoded = 0;
  if (!OrderedCode::TryReadSignedNumIncreasing(&value, &decoded)) {
    HARD_FAIL("Failed to read sequence number from a sentinel row");
  }
  return decoded;
}

bool LevelDbDocumentTargetKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kDocumentTargetsTable);
  document_key_ = reader.ReadDocumentKey();
  target_id_ = reader.ReadTargetId();
  return reader.ReadTerminator();
}

// remote_document

std::string LevelDbRemoteDocumentKey::KeyPrefix() { return TablePrefix(kRemoteDocumentsTable); }

std::string LevelDbRemoteDocumentKey::KeyPrefix(const ResourcePath& resource_path) {
  Writer writer = TableWriter(kRemoteDocumentsTable);
  writer.WriteResourcePath(resource_path);
  return writer.Release();
}

std::string LevelDbRemoteDocumentKey::Key(const DocumentKey& document_key) {
  Writer writer = TableWriter(kRemoteDocumentsTable);
  writer.WriteResourcePath(document_key.path());
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbRemoteDocumentKey::IsDirectlyInCollection(absl::string_view key,
                                                      size_t prefix_length) {
  // The two labels as encoded, compared as bytes: this runs for every row of a scan.
  static const std::string* const kSegment = new std::string(EncodedLabel(PathSegment));
  static const std::string* const kEnd = new std::string(EncodedLabel(Terminator));
  auto startsWith = [](absl::string_view bytes, const std::string& label) {
    if (bytes.size() < label.size()) return false;
    for (size_t i = 0; i < label.size(); ++i) {
      if (bytes[i] != label[i]) return false;
    }
    return true;
  };
  if (key.size() <= prefix_length) return false;
  absl::string_view tail = key.substr(prefix_length);
  if (!startsWith(tail, *kSegment)) return false;
  tail.remove_prefix(kSegment->size());
  return OrderedCode::ReadString(&tail, nullptr) && startsWith(tail, *kEnd);
}

bool LevelDbRemoteDocumentKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kRemoteDocumentsTable);
  document_key_ = reader.ReadDocumentKey();
  return reader.ReadTerminator();
}

// collection_parent

std::string LevelDbCollectionParentKey::KeyPrefix() { return TablePrefix(kCollectionParentsTable); }

std::string LevelDbCollectionParentKey::KeyPrefix(absl::string_view collection_id) {
  Writer writer = TableWriter(kCollectionParentsTable);
  writer.WriteCollectionId(collection_id);
  return writer.Release();
}

std::string LevelDbCollectionParentKey::Key(absl::string_view collection_id,
                                            const ResourcePath& parent) {
  Writer writer = TableWriter(kCollectionParentsTable);
  writer.WriteCollectionId(collection_id);
  writer.WriteResourcePath(parent);
  writer.WriteTerminator();
  return writer.Release();
}

bool LevelDbCollectionParentKey::Decode(absl::string_view key) {
  Reader reader(key);
  reader.ReadTableNameMatching(kCollectionParentsTable);
  collection_id_ = reader.ReadCollectionId();
  parent_ = reader.ReadResourcePath();
  return reader.ReadTerminator();
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
