#include "davedove/verorariv/local/leveldb_remote_document_cache.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "absl/strings/match.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"
#include "platform/dispatch/Queue.h"

namespace davedove {
namespace verorariv {
namespace local {

using model::DocumentKey;
using model::DocumentKeySet;
using model::MaybeDocumentMap;
using model::MaybeDocumentPtr;

namespace {

// Up to this many keys, GetAll reads each with its own lookup.
constexpr size_t kKeysReadOneByOne = 8;

}  // namespace

LevelDbRemoteDocumentCache::LevelDbRemoteDocumentCache(
    VRVLevelDB* db, std::shared_ptr<const VRVLocalSerializer> serializer)
    : db_(db), serializer_(std::move(serializer)) {}

void LevelDbRemoteDocumentCache::Add(const MaybeDocumentPtr& document) {
  const DocumentKey& key = document->key();
  db_->currentTransaction()->Put(LevelDbRemoteDocumentKey::Key(key),
                                 serializer_->encodedMaybeDocument(*document));
  db_->indexManager()->AddToCollectionParentIndex(key.path().PopLast());
}

void LevelDbRemoteDocumentCache::Remove(const DocumentKey& key) {
  db_->currentTransaction()->Delete(LevelDbRemoteDocumentKey::Key(key));
}

MaybeDocumentPtr LevelDbRemoteDocumentCache::Get(const DocumentKey& key) {
  std::string encoded;
  leveldb::Status status =
      db_->currentTransaction()->Get(LevelDbRemoteDocumentKey::Key(key), &encoded);
  if (status.IsNotFound()) return nullptr;
  HARD_ASSERT(status.ok(), "Fetch document for key (%s) failed with status: %s", key.ToString(),
              status.ToString());
  return DecodeMaybeDocument(encoded, key);
}

MaybeDocumentMap LevelDbRemoteDocumentCache::GetAll(const DocumentKeySet& keys) {
  MaybeDocumentMap result;
  // A few keys are read one by one: an iterator over every level costs more to make than the
  // point reads it would save.
  if (keys.size() <= kKeysReadOneByOne) {
    for (const DocumentKey& key : keys) result = result.insert(key, Get(key));
    return result;
  }
  auto it = db_->currentTransaction()->NewIterator();
  for (const DocumentKey& key : keys) {
    it->Seek(LevelDbRemoteDocumentKey::Key(key));
    LevelDbRemoteDocumentKey rowKey;
    if (it->Valid() && rowKey.Decode(it->key()) && rowKey.document_key() == key) {
      result = result.insert(key, DecodeMaybeDocument(it->value(), key));
    } else {
      result = result.insert(key, nullptr);
    }
  }
  return result;
}

namespace {

// At most this many distinct field values have their match remembered during one scan.
constexpr size_t kRememberedDecisions = 4096;

// Decides from a stored row's bytes whether its document can match a query, decoding only the
// top-level fields that the query's filters and orders read. A document built from those fields
// matches exactly when the whole document does, so rows that fail here are never built whole.
// Unless the query reads the key, the decision depends on those fields' bytes alone and is
// remembered for the rows that hold the same values.
class MatchFromStoredBytes {
 public:
  explicit MatchFromStoredBytes(const core::VRVQuery& query) : query_(query) {
    bool readsKey = query.startAt().has_value() || query.endAt().has_value();
    auto need = [&](const model::FieldPath& field) {
      if (field.IsKeyFieldPath()) {
        readsKey = true;
      } else if (std::find(names_.begin(), names_.end(), field.first_segment()) == names_.end()) {
        names_.push_back(field.first_segment());
      }
    };
    for (const core::FilterPtr& filter : query.filters()) need(filter->field());
    for (const core::VRVSortOrder& order : query.sortOrders()) {
      if (!order.field().IsKeyFieldPath()) need(order.field());
    }
    // Only a key filter or a bound reads the key; otherwise any document directly in the
    // collection stands in for the row's own.
    if (!readsKey) standIn_ = model::DocumentKey(query.path().Append("_"));
  }

  // False when the row surely does not match; true when it may (or the bytes cannot tell).
  bool MayMatch(const VRVLocalSerializer& serializer, absl::string_view key,
                absl::string_view encoded) {
    if (!serializer.findStoredFields(encoded, names_, &fields_)) return true;
    if (standIn_) {
      if (names_.size() == 1 && fields_.size() == 1) {
        // One field the query reads: its bytes alone tell the rows apart. The first byte keeps
        // this form apart from the general one, which starts with a field count.
        valueKey_.assign(1, '\xff');
        valueKey_.append(fields_[0].second.data(), fields_[0].second.size());
      } else {
        valueKey_.assign(1, static_cast<char>(fields_.size()));
        for (const auto& field : fields_) {
          for (absl::string_view part : {field.first, field.second}) {
            uint32_t length = static_cast<uint32_t>(part.size());
            valueKey_.append(reinterpret_cast<const char*>(&length), sizeof(length));
            valueKey_.append(part.data(), part.size());
          }
        }
      }
      auto remembered = decisions_.find(valueKey_);
      if (remembered != decisions_.end()) return remembered->second;
    }

    std::optional<model::ObjectValuePtr> values = serializer.decodedStoredFields(fields_);
    if (!values) return true;
    model::DocumentKey documentKey;
    if (standIn_) {
      documentKey = *standIn_;
    } else {
      LevelDbRemoteDocumentKey rowKey;
      if (!rowKey.Decode(key)) return true;
      documentKey = rowKey.document_key();
    }
    model::VRVDocument partial(*values, std::move(documentKey), model::SnapshotVersion::None(),
                               model::DocumentState::Synced);
    bool matches = query_.matchesDocument(partial);
    if (standIn_ && decisions_.size() < kRememberedDecisions) decisions_.emplace(valueKey_, matches);
    return matches;
  }

 private:
  const core::VRVQuery& query_;
  std::vector<std::string> names_;
  std::optional<model::DocumentKey> standIn_;
  VRVLocalSerializer::StoredFields fields_;
  std::string valueKey_;
  std::unordered_map<std::string, bool> decisions_;
};

// Rows copied out of a scan, keys and values back to back.
class Rows {
 public:
  void Add(absl::string_view key, absl::string_view value) {
    rows_.push_back({bytes_.size(), key.size(), value.size()});
    bytes_.append(key.data(), key.size());
    bytes_.append(value.data(), value.size());
  }
  size_t size() const { return rows_.size(); }
  absl::string_view key(size_t row) const {
    return absl::string_view(bytes_).substr(rows_[row].offset, rows_[row].keySize);
  }
  absl::string_view value(size_t row) const {
    return absl::string_view(bytes_).substr(rows_[row].offset + rows_[row].keySize,
                                            rows_[row].valueSize);
  }

 private:
  struct Row {
    size_t offset;
    size_t keySize;
    size_t valueSize;
  };
  std::string bytes_;
  std::vector<Row> rows_;
};

using Matches = std::vector<std::pair<model::DocumentKey, model::DocumentPtr>>;

// From this many rows on, whole documents are decoded on several threads.
constexpr size_t kRowsForParallelDecoding = 256;
constexpr unsigned kMaxDecodingThreads = 4;

// Runs `decode` over [0, count) in slices: one on the calling thread, the others on the shared
// worker threads; returns when all are done, with their matches in no particular order.
Matches DecodeInSlices(size_t count,
                       const std::function<void(size_t begin, size_t end, Matches*)>& decode) {
  unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  size_t slices = count < kRowsForParallelDecoding ? 1 : std::min(kMaxDecodingThreads, cores);
  std::vector<Matches> found(slices);
  std::mutex mutex;
  std::condition_variable finished;
  size_t running = slices - 1;
  auto bounds = [&](size_t slice) { return count * slice / slices; };
  for (size_t slice = 1; slice < slices; ++slice) {
    platform::dispatch::Queue::global(platform::dispatch::QoS::UserInitiated)->async([&, slice] {
      decode(bounds(slice), bounds(slice + 1), &found[slice]);
      std::lock_guard<std::mutex> lock(mutex);
      if (--running == 0) finished.notify_one();
    });
  }
  decode(0, bounds(1), &found[0]);
  {
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return running == 0; });
  }
  Matches all = std::move(found[0]);
  for (size_t slice = 1; slice < slices; ++slice) {
    all.insert(all.end(), std::make_move_iterator(found[slice].begin()),
               std::make_move_iterator(found[slice].end()));
  }
  return all;
}

}  // namespace

model::DocumentMap LevelDbRemoteDocumentCache::GetMatching(const core::VRVQuery& query) {
  MODEL_ASSERT(!query.isCollectionGroupQuery(), "![query isCollectionGroupQuery]",
               "CollectionGroup queries should be handled in LocalDocumentsView");

  // Filtered here, as the memory cache does; the documents view adds back what pending writes
  // start from, so results stay exact. The scan decides each row from its bytes and keeps only
  // the rows that may match; those are decoded whole, on several threads when there are many.
  MatchFromStoredBytes prefilter(query);
  Rows candidates;
  std::string prefix = LevelDbRemoteDocumentKey::KeyPrefix(query.path());
  auto it = db_->currentTransaction()->NewIterator();
  // The collection's rows are contiguous: the first key outside the prefix ends the scan.
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    // Documents in subcollections are skipped by their key alone.
    if (!LevelDbRemoteDocumentKey::IsDirectlyInCollection(it->key(), prefix.size())) {
      LevelDbRemoteDocumentKey rowKey;
      if (!rowKey.Decode(it->key())) break;
      continue;
    }
    if (prefilter.MayMatch(*serializer_, it->key(), it->value())) {
      candidates.Add(it->key(), it->value());
    }
  }

  Matches matches =
      DecodeInSlices(candidates.size(), [&](size_t begin, size_t end, Matches* found) {
        for (size_t row = begin; row < end; ++row) {
          LevelDbRemoteDocumentKey rowKey;
          if (!rowKey.Decode(candidates.key(row))) continue;
          auto existing = std::dynamic_pointer_cast<const model::VRVDocument>(
              DecodeMaybeDocument(candidates.value(row), rowKey.document_key()));
          if (existing && query.matchesDocument(*existing)) {
            found->emplace_back(rowKey.document_key(), std::move(existing));
          }
        }
      });
  model::DocumentMap result;
  for (auto& entry : matches) result = result.insert(entry.first, std::move(entry.second));
  return result;
}

MaybeDocumentPtr LevelDbRemoteDocumentCache::DecodeMaybeDocument(absl::string_view encoded,
                                                                 const DocumentKey& key) const {
  VRVPBMaybeDocument proto;
  if (!proto.ParseFromArray(encoded.data(), static_cast<int>(encoded.size()))) {
    LOG_WARN("The cached document %s does not decode (%s bytes); it is treated as absent",
             key.ToString(), encoded.size());
    return nullptr;
  }
  util::StatusOr<MaybeDocumentPtr> decoded = serializer_->decodeMaybeDocument(proto);
  if (!decoded.ok()) {
    LOG_WARN("The cached document %s does not decode (%s); it is treated as absent",
             key.ToString(), decoded.status().ToString());
    return nullptr;
  }
  MaybeDocumentPtr document = std::move(decoded).value();
  if (document->key() != key) {
    LOG_WARN("The cached document %s holds the document %s; it is treated as absent",
             key.ToString(), document->key().ToString());
    return nullptr;
  }
  return document;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
