#include "davedove/verorariv/local/leveldb_transaction.h"

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"
#include "google/protobuf/message_lite.h"
#include "leveldb/write_batch.h"

namespace davedove {
namespace verorariv {
namespace local {

namespace {

leveldb::Slice ToSlice(absl::string_view view) { return leveldb::Slice(view.data(), view.size()); }

absl::string_view ToView(const leveldb::Slice& slice) {
  return absl::string_view(slice.data(), slice.size());
}

}  // namespace

util::Status ConvertStatus(const leveldb::Status& status) {
  if (status.ok()) return util::Status::OK();

  VerorarivErrorCode code = VerorarivErrorCode::Unknown;
  if (status.IsNotFound()) {
    code = VerorarivErrorCode::NotFound;
  } else if (status.IsCorruption()) {
    code = VerorarivErrorCode::DataLoss;
  } else if (status.IsNotSupportedError()) {
    code = VerorarivErrorCode::Unimplemented;
  } else if (status.IsInvalidArgument()) {
    code = VerorarivErrorCode::InvalidArgument;
  } else if (status.IsIOError()) {
    code = VerorarivErrorCode::Unavailable;
  }
  return util::Status(code, absl::StrCat("LevelDB error: ", status.ToString()));
}

// Iterator

LevelDbTransaction::Iterator::Iterator(LevelDbTransaction* txn)
    : db_iter_(txn->db_->NewIterator(txn->read_options_)),
      last_version_(txn->version_),
      txn_(txn),
      mutations_iter_(txn->mutations_.begin()) {}

void LevelDbTransaction::Iterator::CheckLevelDbStatus() const {
  // A LevelDB iterator that meets an error stops being valid, so only then is the status read:
  // asking every step walks each level's iterator and costs as much as the step.
  if (db_iter_->Valid()) return;
  leveldb::Status status = db_iter_->status();
  HARD_ASSERT(status.ok(), "leveldb iterator reported an error: %s", status.ToString());
}

void LevelDbTransaction::Iterator::SkipDeletedLevelDbKeys() {
  while (db_iter_->Valid() && txn_->deletions_.find(ToView(db_iter_->key())) !=
                                  txn_->deletions_.end()) {
    db_iter_->Next();
  }
}

void LevelDbTransaction::Iterator::AdvanceLevelDb() {
  db_iter_->Next();
  SkipDeletedLevelDbKeys();
  CheckLevelDbStatus();
}

void LevelDbTransaction::Iterator::UpdateCurrent() {
  if (mutations_iter_ != txn_->mutations_.end()) {
    is_valid_ = true;
    // On a tie the pending value wins.
    is_mutation_ = !db_iter_->Valid() || ToView(db_iter_->key()) >= mutations_iter_->first;
  } else {
    is_valid_ = db_iter_->Valid();
    is_mutation_ = false;
  }

  if (!is_valid_) return;
  if (is_mutation_) {
    current_ = *mutations_iter_;
    current_key_ = current_.first;
    current_value_ = current_.second;
  } else {
    current_key_ = ToView(db_iter_->key());
    current_value_ = ToView(db_iter_->value());
  }
}

void LevelDbTransaction::Iterator::Seek(const std::string& key) {
  db_iter_->Seek(key);
  CheckLevelDbStatus();
  SkipDeletedLevelDbKeys();
  CheckLevelDbStatus();
  mutations_iter_ = txn_->mutations_.lower_bound(key);
  UpdateCurrent();
  last_version_ = txn_->version_;
}

void LevelDbTransaction::Iterator::Next() {
  HARD_ASSERT(is_valid_, "Next() called on invalid iterator");

  if (last_version_ < txn_->version_) {
    // The pending writes changed under us: find our place again. When the current key was
    // deleted, the seek has already moved past it.
    std::string current_key(current_key_);
    Seek(current_key);
    if (!is_valid_ || current_key_ > current_key) return;
  }

  if (is_mutation_) {
    if (db_iter_->Valid() && ToView(db_iter_->key()) == mutations_iter_->first) {
      AdvanceLevelDb();
    }
    ++mutations_iter_;
  } else {
    AdvanceLevelDb();
  }
  UpdateCurrent();
}

absl::string_view LevelDbTransaction::Iterator::key() const {
  HARD_ASSERT(is_valid_, "key() called on invalid iterator");
  return current_key_;
}

absl::string_view LevelDbTransaction::Iterator::value() const {
  HARD_ASSERT(is_valid_, "value() called on invalid iterator");
  return current_value_;
}

// LevelDbTransaction

const leveldb::ReadOptions& LevelDbTransaction::DefaultReadOptions() {
  static const leveldb::ReadOptions* options = [] {
    auto* result = new leveldb::ReadOptions();
    result->verify_checksums = true;
    result->fill_cache = true;
    result->snapshot = nullptr;
    return result;
  }();
  return *options;
}

const leveldb::WriteOptions& LevelDbTransaction::DefaultWriteOptions() {
  static const leveldb::WriteOptions* options = new leveldb::WriteOptions();
  return *options;
}

LevelDbTransaction::LevelDbTransaction(leveldb::DB* db, absl::string_view label,
                                       const leveldb::ReadOptions& read_options,
                                       const leveldb::WriteOptions& write_options)
    : db_(db), read_options_(read_options), write_options_(write_options), label_(label) {}

void LevelDbTransaction::Put(std::string key, std::string value) {
  auto deleted = deletions_.find(key);
  if (deleted != deletions_.end()) deletions_.erase(deleted);
  mutations_[std::move(key)] = std::move(value);
  ++version_;
}

void LevelDbTransaction::Put(absl::string_view key, const google::protobuf::MessageLite& message) {
  Put(std::string(key), message.SerializeAsString());
}

void LevelDbTransaction::Delete(absl::string_view key) {
  deletions_.emplace(key);
  auto pending = mutations_.find(key);
  if (pending != mutations_.end()) mutations_.erase(pending);
  ++version_;
}

leveldb::Status LevelDbTransaction::Get(absl::string_view key, std::string* value) {
  if (deletions_.find(key) != deletions_.end()) {
    return leveldb::Status::NotFound(
        absl::StrCat(key, " is not present in the transaction"));
  }
  auto pending = mutations_.find(key);
  if (pending != mutations_.end()) {
    *value = pending->second;
    return leveldb::Status::OK();
  }
  return db_->Get(read_options_, ToSlice(key), value);
}

std::unique_ptr<LevelDbTransaction::Iterator> LevelDbTransaction::NewIterator() {
  return std::make_unique<Iterator>(this);
}

void LevelDbTransaction::Commit() {
  leveldb::WriteBatch batch;
  for (const std::string& key : deletions_) {
    batch.Delete(key);
  }
  for (const auto& entry : mutations_) {
    batch.Put(entry.first, entry.second);
  }

  LOG_DEBUG("Committing transaction: %s", ToString());
  // A transaction that only read has nothing to write, and an empty write is not free: it goes
  // through the log, and the reads after it run at half speed.
  if (deletions_.empty() && mutations_.empty()) return;

  leveldb::Status status = db_->Write(write_options_, &batch);
  HARD_ASSERT(status.ok(), "Failed to commit transaction:\n%s\n Failed: %s", ToString(),
              status.ToString());
}

std::string LevelDbTransaction::ToString() const {
  size_t bytes = 0;
  for (const auto& entry : mutations_) {
    bytes += entry.second.size();
  }

  std::string result = absl::StrCat("<LevelDbTransaction ", label_, ": ",
                                    mutations_.size() + deletions_.size(), " changes (", bytes,
                                    " bytes):");
  for (const std::string& key : deletions_) {
    absl::StrAppend(&result, "\n  - Delete ", DescribeKey(key));
  }
  for (const auto& entry : mutations_) {
    absl::StrAppend(&result, "\n  - Put ", DescribeKey(entry.first), " (", entry.second.size(),
                    " bytes)");
  }
  result += ">";
  return result;
}

std::string DescribeKey(const std::unique_ptr<LevelDbTransaction::Iterator>& iterator) {
  if (iterator->Valid()) {
    return DescribeKey(iterator->key());
  }
  return "the end of the table";
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
