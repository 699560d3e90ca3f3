// The persistence contract run against the memory persistence, with each of its two collectors.
#include <memory>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/local/tests/local_store_contract.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace contract {
namespace {

PersistenceFactory EagerFactory() {
  return {"EagerGC", [] { return std::shared_ptr<VRVPersistence>(
                              VRVMemoryPersistence::persistenceWithEagerGC()); }};
}

PersistenceFactory LruFactory() {
  return {"LruGC", [] {
            auto serializer = std::make_shared<const VRVLocalSerializer>(
                std::make_shared<const remote::VRVSerializerBeta>(
                    model::DatabaseId("contract-project", "(default)")));
            return std::shared_ptr<VRVPersistence>(VRVMemoryPersistence::persistenceWithLruParams(
                LruParams{104857600, 10, 1000}, serializer));
          }};
}

}  // namespace

VRV_INSTANTIATE_LOCAL_STORE_CONTRACT(MemoryPersistence,
                                     ::testing::Values(EagerFactory(), LruFactory()));

}  // namespace contract
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
