// The contract every persistence family fulfils: the storage interfaces and the local store over
// them, written once and run against each family through a persistence factory.
//
// A family instantiates the suites with its own factories:
//
//   namespace davedove::verorariv::local::contract {
//   VRV_INSTANTIATE_LOCAL_STORE_CONTRACT(Memory, ::testing::Values(factory1, factory2));
//   }
//
// The suites assume nothing the families do differently on purpose: no particular first batch id,
// and no filtering of collection scans beyond "documents directly in the collection".
#ifndef DAVEDOVE_VERORARIV_LOCAL_TESTS_LOCAL_STORE_CONTRACT_H_
#define DAVEDOVE_VERORARIV_LOCAL_TESTS_LOCAL_STORE_CONTRACT_H_

#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/VRVPersistence.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace contract {

// Makes a fresh, empty persistence of one family. The persistence is shut down by the test.
struct PersistenceFactory {
  std::string name;
  std::function<std::shared_ptr<VRVPersistence>()> create;
};

inline void PrintTo(const PersistenceFactory& factory, std::ostream* out) { *out << factory.name; }

inline std::string PersistenceFactoryName(
    const ::testing::TestParamInfo<PersistenceFactory>& info) {
  return info.param.name;
}

// A fresh persistence per test, with short builders and a transaction helper.
class PersistenceContractTest : public ::testing::TestWithParam<PersistenceFactory> {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs `callback` inside one transaction of the persistence.
  template <typename Callback>
  auto Tx(Callback&& callback) {
    return persistence_->run()("contract test", std::forward<Callback>(callback));
  }

  std::shared_ptr<VRVPersistence> persistence_;
};

class MutationQueueContractTest : public PersistenceContractTest {};
class QueryCacheContractTest : public PersistenceContractTest {};
class RemoteDocumentCacheContractTest : public PersistenceContractTest {};
class IndexManagerContractTest : public PersistenceContractTest {};

// A started local store over the persistence, for the initial user "alice".
class LocalStoreContractTest : public PersistenceContractTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new store over the same persistence, as after a restart.
  void RestartStore();

  std::unique_ptr<VRVLocalStore> store_;
};

// Builders for the suites.
namespace testutil {

using namespace model::testutil;  // NOLINT

core::QueryPtr Query(const std::string& path);
model::MutationPtr SetMutation(const std::string& path,
                               const std::map<std::string, model::FieldValuePtr>& fields);
model::MutationPtr PatchMutation(const std::string& path,
                                 const std::map<std::string, model::FieldValuePtr>& fields);
model::MutationPtr DeleteMutation(const std::string& path);
// Increments `field` by `amount`: a write that is not idempotent.
model::MutationPtr IncrementMutation(const std::string& path, const std::string& field,
                                     int64_t amount);
model::DocumentKeySet Keys(std::initializer_list<std::string> paths);
model::DocumentKeySet NoKeys();

}  // namespace testutil

}  // namespace contract
}  // namespace local
}  // namespace verorariv
}  // namespace davedove

// Instantiates every contract suite with the factories of `generator`, under `prefix`.
#define VRV_INSTANTIATE_LOCAL_STORE_CONTRACT(prefix, generator)                                 \
  INSTANTIATE_TEST_SUITE_P(prefix, MutationQueueContractTest, generator,                        \
                           PersistenceFactoryName);                                             \
  INSTANTIATE_TEST_SUITE_P(prefix, QueryCacheContractTest, generator, PersistenceFactoryName);  \
  INSTANTIATE_TEST_SUITE_P(prefix, RemoteDocumentCacheContractTest, generator,                  \
                           PersistenceFactoryName);                                             \
  INSTANTIATE_TEST_SUITE_P(prefix, IndexManagerContractTest, generator, PersistenceFactoryName); \
  INSTANTIATE_TEST_SUITE_P(prefix, LocalStoreContractTest, generator, PersistenceFactoryName)

#endif  // DAVEDOVE_VERORARIV_LOCAL_TESTS_LOCAL_STORE_CONTRACT_H_
