#ifndef DAVEDOVE_VERORARIV_MODEL_DATABASE_ID_H_
#define DAVEDOVE_VERORARIV_MODEL_DATABASE_ID_H_

#include <string>

namespace davedove {
namespace verorariv {
namespace model {

// Names one database: a project id and a database id, both non-empty.
class DatabaseId {
 public:
  // The database id of the default database.
  static constexpr const char* kDefault = "(default)";

  DatabaseId(std::string project_id, std::string database_id);

  const std::string& project_id() const { return project_id_; }
  const std::string& database_id() const { return database_id_; }

  friend bool operator==(const DatabaseId& lhs, const DatabaseId& rhs) {
    return lhs.project_id_ == rhs.project_id_ && lhs.database_id_ == rhs.database_id_;
  }
  friend bool operator!=(const DatabaseId& lhs, const DatabaseId& rhs) { return !(lhs == rhs); }
  // By project id, then by database id, each bytewise.
  friend bool operator<(const DatabaseId& lhs, const DatabaseId& rhs);

 private:
  std::string project_id_;
  std::string database_id_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_DATABASE_ID_H_
