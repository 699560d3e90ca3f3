#ifndef DAVEDOVE_VERORARIV_LOCAL_LEVELDB_KEY_H_
#define DAVEDOVE_VERORARIV_LOCAL_LEVELDB_KEY_H_

#include <cstdint>
#include <string>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/resource_path.h"
#include "leveldb/slice.h"

namespace davedove {
namespace verorariv {
namespace local {

// Keys of the rows of the LevelDB store. A key is a row of labelled components written with
// OrderedCode, so LevelDB's bytewise order is the logical order: table first, then each component
// in turn. The labels and table names are a stored format and never change.
//
// Every `Key` ends with a terminator; a `KeyPrefix` lacks it and is only used to seek and to bound
// scans. `Decode` never stops the process: a key of another table, a missing, misplaced or
// malformed component, or a missing terminator gives false.

using core::TargetId;
using model::BatchId;
using model::ListenSequenceNumber;

// A readable form of any key, for log and assertion texts, e.g. "[mutation: user_id=u batch_id=3]".
// Whatever cannot be read is shown as " incomplete key" or " invalid key=<base64 of the key>".
std::string DescribeKey(leveldb::Slice key);
std::string DescribeKey(absl::string_view key);
std::string DescribeKey(const std::string& key);
std::string DescribeKey(const char* key);

// "version": the schema version.
class LevelDbVersionKey {
 public:
  static std::string Key();
};

// "mutation": one encoded batch of a user's mutation queue.
class LevelDbMutationKey {
 public:
  static std::string KeyPrefix();
  static std::string KeyPrefix(absl::string_view user_id);
  static std::string Key(absl::string_view user_id, BatchId batch_id);

  bool Decode(absl::string_view key);

  const std::string& user_id() const { return user_id_; }
  BatchId batch_id() const { return batch_id_; }

 private:
  std::string user_id_;
  BatchId batch_id_ = 0;
};

// "document_mutation": an empty row per document a batch of a user writes.
class LevelDbDocumentMutationKey {
 public:
  static std::string KeyPrefix();
  static std::string KeyPrefix(absl::string_view user_id);
  // Also matches the rows of every path beneath `resource_path`.
  static std::string KeyPrefix(absl::string_view user_id, const model::ResourcePath& resource_path);
  static std::string Key(absl::string_view user_id, const model::DocumentKey& document_key,
                         BatchId batch_id);

  bool Decode(absl::string_view key);

  const std::string& user_id() const { return user_id_; }
  const model::DocumentKey& document_key() const { return document_key_; }
  BatchId batch_id() const { return batch_id_; }

 private:
  std::string user_id_;
  model::DocumentKey document_key_;
  BatchId batch_id_ = 0;
};

// "mutation_queue": the metadata of one user's mutation queue.
class LevelDbMutationQueueKey {
 public:
  static std::string KeyPrefix();
  static std::string Key(absl::string_view user_id);

  bool Decode(absl::string_view key);

  const std::string& user_id() const { return user_id_; }

 private:
  std::string user_id_;
};

// "target_global": the one row of target metadata.
class LevelDbTargetGlobalKey {
 public:
  static std::string Key();

  // Checks the table and the terminator only.
  bool Decode(absl::string_view key);
};

// "target": one encoded target.
class LevelDbTargetKey {
 public:
  static std::string KeyPrefix();
  static std::string Key(TargetId target_id);

  bool Decode(absl::string_view key);

  TargetId target_id() const { return target_id_; }

 private:
  TargetId target_id_ = 0;
};

// "query_target": an empty row from a query's canonical id to a target.
class LevelDbQueryTargetKey {
 public:
  static std::string KeyPrefix();
  static std::string KeyPrefix(absl::string_view canonical_id);
  static std::string Key(absl::string_view canonical_id, TargetId target_id);

  bool Decode(absl::string_view key);

  const std::string& canonical_id() const { return canonical_id_; }
  TargetId target_id() const { return target_id_; }

 private:
  std::string canonical_id_;
  TargetId target_id_ = 0;
};

// "target_document": an empty row per document matching a target.
class LevelDbTargetDocumentKey {
 public:
  static std::string KeyPrefix();
  static std::string KeyPrefix(TargetId target_id);
  static std::string Key(TargetId target_id, const model::DocumentKey& document_key);

  bool Decode(absl::string_view key);

  TargetId target_id() const { return target_id_; }
  const model::DocumentKey& document_key() const { return document_key_; }

 private:
  TargetId target_id_ = 0;
  model::DocumentKey document_key_;
};

// "document_target": the reverse of target_document. The sentinel row of a document (target id 0)
// holds the document's sequence number and sorts before the document's other rows.
class LevelDbDocumentTargetKey {
 public:
  static std::string KeyPrefix();
  // Also matches the rows of every path beneath `resource_path`.
  static std::string KeyPrefix(const model::ResourcePath& resource_path);
  static std::string Key(const model::DocumentKey& document_key, TargetId target_id);
  static std::string SentinelKey(const model::DocumentKey& document_key);

  static std::string EncodeSentinelValue(ListenSequenceNumber sequence_number);
  // A value that is not a number stops the process; bytes after the number are ignored.
  static ListenSequenceNumber DecodeSentinelValue(absl::string_view value);

  bool Decode(absl::string_view key);

  const model::DocumentKey& document_key() const { return document_key_; }
  TargetId target_id() const { return target_id_; }

 private:
  model::DocumentKey document_key_;
  TargetId target_id_ = 0;
};

// "remote_document": one encoded cached document.
class LevelDbRemoteDocumentKey {
 public:
  static std::string KeyPrefix();
  // Also matches the rows of every path beneath `resource_path`.
  static std::string KeyPrefix(const model::ResourcePath& resource_path);
  static std::string Key(const model::DocumentKey& document_key);
  // Whether `key`, which starts with the KeyPrefix of a collection path `prefix_length` bytes
  // long, is the row of a document directly in that collection, not beneath one of its documents.
  // Reads only the key's tail: a collection scan needs it for every row.
  static bool IsDirectlyInCollection(absl::string_view key, size_t prefix_length);

  bool Decode(absl::string_view key);

  const model::DocumentKey& document_key() const { return document_key_; }

 private:
  model::DocumentKey document_key_;
};

// "collection_parent": an empty row per collection id and parent path holding such a collection.
class LevelDbCollectionParentKey {
 public:
  static std::string KeyPrefix();
  static std::string KeyPrefix(absl::string_view collection_id);
  static std::string Key(absl::string_view collection_id, const model::ResourcePath& parent);

  bool Decode(absl::string_view key);

  const std::string& collection_id() const { return collection_id_; }
  // Empty for a top-level collection.
  const model::ResourcePath& parent() const { return parent_; }

 private:
  std::string collection_id_;
  model::ResourcePath parent_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LEVELDB_KEY_H_
