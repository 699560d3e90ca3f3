#ifndef DAVEDOVE_VERORARIV_LOCAL_LEVELDB_MIGRATIONS_H_
#define DAVEDOVE_VERORARIV_LOCAL_LEVELDB_MIGRATIONS_H_

#include <cstdint>

#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"
#include "leveldb/db.h"

namespace davedove {
namespace verorariv {
namespace local {

// Brings a store written by any earlier build up to the current layout. Each step runs once, in
// order, and records its version in the same transaction as its last changes, so an interrupted
// migration resumes at the first step not recorded.
class LevelDbMigrations {
 public:
  using SchemaVersion = int32_t;

  static constexpr SchemaVersion kSchemaVersion = 6;

  // The stored version; 0 when the row is missing. A row that cannot be read, or that holds no
  // decimal number, is a data-loss error: guessing 0 would rerun every step over live data.
  static util::StatusOr<SchemaVersion> ReadSchemaVersion(leveldb::DB* db);

  static util::Status RunMigrations(leveldb::DB* db);
  // A store of a newer build is only relabelled with `to_version`; its rows are not touched.
  static util::Status RunMigrations(leveldb::DB* db, SchemaVersion to_version);
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LEVELDB_MIGRATIONS_H_
