// Documents and remote events shared by the local store benchmarks of every persistence.
#ifndef BENCH_LOCAL_STORE_BENCH_UTIL_H_
#define BENCH_LOCAL_STORE_BENCH_UTIL_H_

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/remote/remote_event.h"

namespace local_store_bench {

inline davedove::verorariv::model::DocumentKey KeyAt(const std::string& collection, int i) {
  return davedove::verorariv::model::DocumentKey::FromSegments({collection, "doc" + std::to_string(i)});
}

// A document with an integer "bucket" to filter on and a string payload of the given size.
inline davedove::verorariv::model::ObjectValuePtr Data(int bucket, size_t payloadBytes) {
  using davedove::verorariv::model::FieldValuePtr;
  using davedove::verorariv::model::VRVIntegerValue;
  using davedove::verorariv::model::VRVObjectValue;
  using davedove::verorariv::model::VRVStringValue;
  return std::make_shared<const VRVObjectValue>(std::map<std::string, FieldValuePtr>{
      {"bucket", VRVIntegerValue::integerValue(bucket)},
      {"payload", VRVStringValue::stringValue(std::string(payloadBytes, 'x'))}});
}

// One event that adds `count` documents of `collection` to the target; document i is in bucket
// i % 100.
inline davedove::verorariv::remote::RemoteEvent EventOf(
    davedove::verorariv::core::TargetId targetID, const std::string& collection, int count,
    size_t payloadBytes) {
  using davedove::verorariv::model::DocumentKey;
  using davedove::verorariv::model::DocumentKeySet;
  using davedove::verorariv::model::DocumentState;
  using davedove::verorariv::model::SnapshotVersion;
  using davedove::verorariv::model::VRVDocument;
  using davedove::verorariv::remote::RemoteEvent;
  using davedove::verorariv::remote::TargetChange;
  SnapshotVersion version(davedove::Timestamp(100, 0));
  DocumentKeySet keys;
  RemoteEvent::DocumentUpdateMap updates;
  for (int i = 0; i < count; ++i) {
    DocumentKey key = KeyAt(collection, i);
    keys = keys.insert(key);
    updates[key] = VRVDocument::documentWithData(Data(i % 100, payloadBytes), key, version,
                                                 DocumentState::Synced);
  }
  RemoteEvent::TargetChangeMap changes;
  changes[targetID] = TargetChange("resume", true, keys, DocumentKeySet(), DocumentKeySet());
  return RemoteEvent(version, std::move(changes), std::move(updates), DocumentKeySet());
}

}  // namespace local_store_bench

#endif  // BENCH_LOCAL_STORE_BENCH_UTIL_H_
