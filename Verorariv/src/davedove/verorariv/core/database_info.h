#ifndef DAVEDOVE_VERORARIV_CORE_DATABASE_INFO_H_
#define DAVEDOVE_VERORARIV_CORE_DATABASE_INFO_H_

#include <string>
#include <utility>

#include "davedove/verorariv/model/database_id.h"

namespace davedove {
namespace verorariv {
namespace core {

// What names one database instance: the database id, the persistence key (the app name, so each
// app has a storage directory of its own), and the host ("name:port") of the document service
// with whether the connection uses TLS.
class DatabaseInfo {
 public:
  DatabaseInfo(model::DatabaseId database_id, std::string persistence_key)
      : database_id_(std::move(database_id)), persistence_key_(std::move(persistence_key)) {}
  DatabaseInfo(model::DatabaseId database_id, std::string persistence_key, std::string host,
               bool ssl_enabled)
      : database_id_(std::move(database_id)),
        persistence_key_(std::move(persistence_key)),
        host_(std::move(host)),
        ssl_enabled_(ssl_enabled) {}

  const model::DatabaseId& database_id() const { return database_id_; }
  const std::string& persistence_key() const { return persistence_key_; }
  const std::string& host() const { return host_; }
  bool ssl_enabled() const { return ssl_enabled_; }

 private:
  model::DatabaseId database_id_;
  std::string persistence_key_;
  std::string host_;
  bool ssl_enabled_ = true;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_DATABASE_INFO_H_
