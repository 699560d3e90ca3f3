#ifndef DAVEDOVE_VERORARIV_CORE_DATABASE_INFO_H_
#define DAVEDOVE_VERORARIV_CORE_DATABASE_INFO_H_

#include <string>
#include <utility>

#include "davedove/verorariv/model/database_id.h"

namespace davedove {
namespace verorariv {
namespace core {

// What names one database instance's storage: the database id and the persistence key (the app
// name), so each app has a storage directory of its own.
class DatabaseInfo {
 public:
  DatabaseInfo(model::DatabaseId database_id, std::string persistence_key)
      : database_id_(std::move(database_id)), persistence_key_(std::move(persistence_key)) {}

  const model::DatabaseId& database_id() const { return database_id_; }
  const std::string& persistence_key() const { return persistence_key_; }

 private:
  model::DatabaseId database_id_;
  std::string persistence_key_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_DATABASE_INFO_H_
