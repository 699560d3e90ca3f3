// The persistence contract run against the LevelDB persistence, each test in a fresh directory.
#include <memory>

#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/tests/leveldb_testutil.h"
#include "davedove/verorariv/local/tests/local_store_contract.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace contract {
namespace {

// The store and its directory: the directory goes when the last user of the store lets go.
struct StoreInTempDir {
  leveldb_testutil::TempDir directory;
  std::shared_ptr<VRVLevelDB> db;
};

PersistenceFactory LevelDbFactory() {
  return {"LevelDB", [] {
            auto holder = std::make_shared<StoreInTempDir>();
            holder->db = leveldb_testutil::Open(holder->directory.Sub("main"));
            if (!holder->db) return std::shared_ptr<VRVPersistence>();
            VRVPersistence* persistence = holder->db.get();
            return std::shared_ptr<VRVPersistence>(holder, persistence);
          }};
}

}  // namespace

VRV_INSTANTIATE_LOCAL_STORE_CONTRACT(LevelDbPersistence, ::testing::Values(LevelDbFactory()));

}  // namespace contract
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
