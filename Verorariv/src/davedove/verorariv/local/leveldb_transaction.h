#ifndef DAVEDOVE_VERORARIV_LOCAL_LEVELDB_TRANSACTION_H_
#define DAVEDOVE_VERORARIV_LOCAL_LEVELDB_TRANSACTION_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/util/status.h"
#include "leveldb/db.h"
#include "leveldb/iterator.h"
#include "leveldb/options.h"
#include "leveldb/status.h"
#include <google/protobuf/message_lite.h>

namespace davedove {
namespace verorariv {
namespace local {

// A LevelDB status as the program's Status: ok, or the matching code with the message
// "LevelDB error: " and LevelDB's own text.
util::Status ConvertStatus(const leveldb::Status& status);

// The only way the local store changes its LevelDB database. Puts and deletes are buffered in
// memory, reads see them as if already applied, and Commit writes them all in one write batch, so a
// crash never leaves part of a transaction on disk. Reads go to the live database (no snapshot):
// nothing else writes it while a transaction is open.
//
// Not thread-safe; a transaction and its iterators are used from one serial queue.
class LevelDbTransaction {
 public:
  // A sorted view of the database's rows merged with the pending writes: pending puts win over
  // stored rows, pending deletes hide them. It stays usable across later Puts and Deletes on its
  // transaction and notices them at its next Next(). Must not outlive the transaction.
  class Iterator {
   public:
    explicit Iterator(LevelDbTransaction* txn);

    Iterator(const Iterator&) = delete;
    Iterator& operator=(const Iterator&) = delete;

    // Positions on the first visible entry whose key is at or after `key`.
    void Seek(const std::string& key);

    bool Valid() const { return is_valid_; }

    // Moves to the next visible entry. Stops the process when not valid.
    void Next();

    // The current entry; valid until the iterator moves. Stop the process when not valid.
    absl::string_view key() const;
    absl::string_view value() const;

   private:
    // Moves the database side one step, then past pending deletes.
    void AdvanceLevelDb();
    void SkipDeletedLevelDbKeys();
    void CheckLevelDbStatus() const;
    void UpdateCurrent();

    std::unique_ptr<leveldb::Iterator> db_iter_;
    int32_t last_version_ = 0;
    LevelDbTransaction* txn_;
    std::map<std::string, std::string, std::less<>>::const_iterator mutations_iter_;
    // A pending entry is copied (a later Put or Delete may drop it from the transaction); a
    // stored one is read in place, where the database iterator keeps it until it moves.
    std::pair<std::string, std::string> current_;
    absl::string_view current_key_;
    absl::string_view current_value_;
    bool is_mutation_ = false;
    bool is_valid_ = false;
  };

  // Checksums verified on every read, block cache on, no snapshot.
  static const leveldb::ReadOptions& DefaultReadOptions();
  // All defaults: writes are not synchronous.
  static const leveldb::WriteOptions& DefaultWriteOptions();

  // `db` is not owned and must outlive the transaction. `label` names it in log and failure texts.
  LevelDbTransaction(leveldb::DB* db, absl::string_view label,
                     const leveldb::ReadOptions& read_options = DefaultReadOptions(),
                     const leveldb::WriteOptions& write_options = DefaultWriteOptions());

  LevelDbTransaction(const LevelDbTransaction&) = delete;
  LevelDbTransaction& operator=(const LevelDbTransaction&) = delete;

  // Sets the pending value of `key`, replacing an earlier pending put or delete.
  void Put(std::string key, std::string value);

  // Puts the serialised bytes of `message`.
  void Put(absl::string_view key, const google::protobuf::MessageLite& message);

  // Deletes `key`, replacing an earlier pending put.
  void Delete(absl::string_view key);

  // The value of `key` as the transaction sees it. A pending delete reads as a not-found status
  // ("<key> is not present in the transaction") and leaves `value` untouched.
  leveldb::Status Get(absl::string_view key, std::string* value);

  // An unpositioned iterator; call Seek first.
  std::unique_ptr<Iterator> NewIterator();

  // Writes every pending delete and put in one write batch. A failed write stops the process. The
  // pending changes stay; the transaction is discarded after commit.
  void Commit();

  // "<LevelDbTransaction label: N changes (B bytes):" with one line per pending change, then ">".
  std::string ToString() const;

 private:
  leveldb::DB* db_;
  std::map<std::string, std::string, std::less<>> mutations_;
  std::set<std::string, std::less<>> deletions_;
  leveldb::ReadOptions read_options_;
  leveldb::WriteOptions write_options_;
  int32_t version_ = 0;
  std::string label_;
};

// DescribeKey of the iterator's current key, or "the end of the table" when it is not valid.
std::string DescribeKey(const std::unique_ptr<LevelDbTransaction::Iterator>& iterator);

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LEVELDB_TRANSACTION_H_
