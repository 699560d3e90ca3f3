// Builders shared by the memory persistence tests.
#ifndef DAVEDOVE_VERORARIV_LOCAL_TESTS_MEMORY_TESTUTIL_H_
#define DAVEDOVE_VERORARIV_LOCAL_TESTS_MEMORY_TESTUTIL_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/tests/value_testutil.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace testutil {

using namespace model::testutil;  // NOLINT

inline core::QueryPtr Query(const std::string& path) {
  return core::VRVQuery::queryWithPath(model::ResourcePath::FromString(path));
}

inline model::MutationPtr SetMutation(const std::string& path, int64_t value = 1) {
  return std::make_shared<const model::VRVSetMutation>(
      Key(path), Obj({{"v", Int(value)}}), model::Precondition::None());
}

inline model::MutationPtr DeleteMutation(const std::string& path) {
  return std::make_shared<const model::VRVDeleteMutation>(Key(path), model::Precondition::None());
}

inline std::vector<model::MutationPtr> Mutations(std::vector<model::MutationPtr> mutations) {
  return mutations;
}

inline model::DocumentKeySet Keys(std::initializer_list<std::string> paths) {
  model::DocumentKeySet keys;
  for (const std::string& path : paths) keys = keys.insert(Key(path));
  return keys;
}

inline QueryDataPtr Target(const std::string& path, TargetId targetID,
                           model::ListenSequenceNumber sequenceNumber,
                           VRVQueryPurpose purpose = VRVQueryPurposeListen) {
  return std::make_shared<const VRVQueryData>(Query(path), targetID, sequenceNumber, purpose);
}

}  // namespace testutil
}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_TESTS_MEMORY_TESTUTIL_H_
