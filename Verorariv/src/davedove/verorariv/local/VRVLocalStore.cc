#include "davedove/verorariv/local/VRVLocalStore.h"

#include <utility>

#include "davedove/verorariv/model/DAVTimestamp.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"

namespace davedove {
namespace verorariv {
namespace local {

using core::QueryPtr;
using core::TargetIdGenerator;
using core::VRVQuery;
using model::BatchId;
using model::DocumentKey;
using model::DocumentKeySet;
using model::DocumentMap;
using model::MaybeDocumentMap;
using model::MaybeDocumentPtr;
using model::MutationBatchPtr;
using model::MutationPtr;
using model::ObjectValuePtr;
using model::Precondition;
using model::SnapshotVersion;
using model::VRVDocument;
using model::VRVMutationBatch;
using model::VRVMutationBatchResult;
using model::VRVObjectValue;
using model::VRVPatchMutation;
using remote::RemoteEvent;
using remote::TargetChange;

namespace {

// Query-cache targets take the even ids.
constexpr int32_t kQueryCacheGeneratorId = 0;

// A resume token this much newer than the stored one is written even without document changes.
constexpr int64_t kResumeTokenMaxAgeSeconds = 5 * 60;

// A generator seeded with `seed` whose next id is seed + 2.
TargetIdGenerator QueryCacheGenerator(TargetId seed) {
  TargetIdGenerator generator(kQueryCacheGeneratorId, seed);
  generator.NextId();
  return generator;
}

}  // namespace

VRVLocalStore::VRVLocalStore(std::shared_ptr<VRVPersistence> persistence,
                             const auth::User& initialUser)
    : targetIDGenerator_(QueryCacheGenerator(0)), persistence_(std::move(persistence)) {
  mutationQueue_ = persistence_->mutationQueueForUser(initialUser);
  remoteDocumentCache_ = persistence_->remoteDocumentCache();
  queryCache_ = persistence_->queryCache();
  localDocuments_ = std::make_unique<LocalDocumentsView>(remoteDocumentCache_, mutationQueue_,
                                                         persistence_->indexManager());
  persistence_->referenceDelegate()->addInMemoryPins(&localViewReferences_);
}

VRVLocalStore::~VRVLocalStore() {
  persistence_->referenceDelegate()->removeInMemoryPins(&localViewReferences_);
}

void VRVLocalStore::start() {
  startMutationQueue();
  targetIDGenerator_ = QueryCacheGenerator(queryCache_->highest_target_id());
}

void VRVLocalStore::startMutationQueue() {
  persistence_->run()("Start MutationQueue", [&] { mutationQueue_->Start(); });
}

MaybeDocumentMap VRVLocalStore::userDidChange(const auth::User& user) {
  std::vector<MutationBatchPtr> oldBatches =
      persistence_->run()("OldBatches", [&] { return mutationQueue_->AllMutationBatches(); });

  localDocuments_.reset();
  mutationQueue_ = persistence_->mutationQueueForUser(user);
  startMutationQueue();

  return persistence_->run()("NewBatches", [&] {
    std::vector<MutationBatchPtr> newBatches = mutationQueue_->AllMutationBatches();
    localDocuments_ = std::make_unique<LocalDocumentsView>(remoteDocumentCache_, mutationQueue_,
                                                           persistence_->indexManager());

    // Every document either user's batches touch may now look different.
    DocumentKeySet changedKeys;
    for (const std::vector<MutationBatchPtr>* batches : {&oldBatches, &newBatches}) {
      for (const MutationBatchPtr& batch : *batches) {
        for (const MutationPtr& mutation : batch->mutations()) {
          changedKeys = changedKeys.insert(mutation->key());
        }
      }
    }
    return localDocuments_->GetDocuments(changedKeys);
  });
}

VRVLocalWriteResult VRVLocalStore::locallyWriteMutations(std::vector<MutationPtr> mutations) {
  DAVTimestamp localWriteTime = DAVTimestamp::timestamp();
  DocumentKeySet keys;
  for (const MutationPtr& mutation : mutations) {
    keys = keys.insert(mutation->key());
  }

  return persistence_->run()("Locally write mutations", [&] {
    MaybeDocumentMap existingDocuments = localDocuments_->GetDocuments(keys);

    // A write whose outcome depends on the current value (a non-idempotent transform) keeps that
    // value as a base, so that re-applying it after newer remote changes stays stable.
    std::vector<MutationPtr> baseMutations;
    for (const MutationPtr& mutation : mutations) {
      const model::FieldMask* fieldMask = mutation->fieldMask();
      if (mutation->idempotent() || fieldMask == nullptr) {
        continue;
      }
      ObjectValuePtr baseValue = VRVObjectValue::objectValue();
      auto found = existingDocuments.find(mutation->key());
      if (found != existingDocuments.end()) {
        if (const VRVDocument* document = model::AsDocument(found->second.get())) {
          baseValue = document->data()->objectByApplyingFieldMask(*fieldMask);
        }
      }
      baseMutations.push_back(std::make_shared<const VRVPatchMutation>(
          mutation->key(), baseValue, *fieldMask, Precondition::Exists(true)));
    }

    MutationBatchPtr batch = mutationQueue_->AddMutationBatch(
        localWriteTime, std::move(baseMutations), std::move(mutations));
    MaybeDocumentMap changedDocuments = batch->applyToLocalDocumentSet(existingDocuments);
    return VRVLocalWriteResult::resultForBatchID(batch->batchID(), std::move(changedDocuments));
  });
}

MaybeDocumentMap VRVLocalStore::acknowledgeBatchWithResult(
    const VRVMutationBatchResult& batchResult) {
  return persistence_->run()("Acknowledge batch", [&] {
    const VRVMutationBatch& batch = *batchResult.batch();
    mutationQueue_->AcknowledgeBatch(batch, batchResult.streamToken());
    applyBatchResult(batchResult);
    mutationQueue_->PerformConsistencyCheck();
    return localDocuments_->GetDocuments(batch.keys());
  });
}

void VRVLocalStore::applyBatchResult(const VRVMutationBatchResult& batchResult) {
  const MutationBatchPtr& batch = batchResult.batch();
  for (const DocumentKey& docKey : batch->keys()) {
    MaybeDocumentPtr remoteDoc = remoteDocumentCache_->Get(docKey);
    const model::DocumentVersionMap& versions = batchResult.docVersions();
    auto ackVersionIter = versions.find(docKey);
    HARD_ASSERT(ackVersionIter != versions.end(),
                "docVersions should contain every doc in the write.");
    const SnapshotVersion& ackVersion = ackVersionIter->second;

    if (!remoteDoc || remoteDoc->version() < ackVersion) {
      MaybeDocumentPtr doc = batch->applyToRemoteDocument(remoteDoc, docKey, batchResult);
      if (!doc) {
        HARD_ASSERT(!remoteDoc, "Mutation batch %s applied to document %s resulted in nil.",
                    batch, remoteDoc);
      } else {
        remoteDocumentCache_->Add(doc);
      }
    }
  }
  mutationQueue_->RemoveMutationBatch(*batch);
}

MaybeDocumentMap VRVLocalStore::rejectBatchID(BatchId batchID) {
  return persistence_->run()("Reject batch", [&] {
    MutationBatchPtr toReject = mutationQueue_->LookupMutationBatch(batchID);
    HARD_ASSERT(toReject != nullptr, "Attempt to reject nonexistent batch!");
    mutationQueue_->RemoveMutationBatch(*toReject);
    mutationQueue_->PerformConsistencyCheck();
    return localDocuments_->GetDocuments(toReject->keys());
  });
}

std::string VRVLocalStore::lastStreamToken() { return mutationQueue_->GetLastStreamToken(); }

void VRVLocalStore::setLastStreamToken(const std::string& streamToken) {
  persistence_->run()("Set stream token",
                      [&] { mutationQueue_->SetLastStreamToken(streamToken); });
}

SnapshotVersion VRVLocalStore::lastRemoteSnapshotVersion() {
  return queryCache_->GetLastRemoteSnapshotVersion();
}

MaybeDocumentMap VRVLocalStore::applyRemoteEvent(const RemoteEvent& remoteEvent) {
  return persistence_->run()("Apply remote event", [&] {
    model::ListenSequenceNumber sequenceNumber = persistence_->currentSequenceNumber();
    DocumentKeySet authoritativeUpdates;

    for (const auto& entry : remoteEvent.target_changes()) {
      TargetId targetID = entry.first;
      const TargetChange& change = entry.second;

      // Changes for targets that are no longer active are ignored.
      auto found = targetIDs_.find(targetID);
      if (found == targetIDs_.end()) {
        continue;
      }
      QueryDataPtr oldQueryData = found->second;

      // Only documents the target gained or that changed while matching are authoritative for
      // it; removals say nothing about the document's newest state.
      for (const DocumentKey& key : change.added_documents()) {
        authoritativeUpdates = authoritativeUpdates.insert(key);
      }
      for (const DocumentKey& key : change.modified_documents()) {
        authoritativeUpdates = authoritativeUpdates.insert(key);
      }

      queryCache_->RemoveMatchingKeys(change.removed_documents(), targetID);
      queryCache_->AddMatchingKeys(change.added_documents(), targetID);

      // An empty token leaves the target as it is.
      if (!change.resume_token().empty()) {
        QueryDataPtr newQueryData = oldQueryData->queryDataByReplacingSnapshotVersion(
            remoteEvent.snapshot_version(), change.resume_token(), sequenceNumber);
        targetIDs_[targetID] = newQueryData;
        if (shouldPersistQueryData(*newQueryData, *oldQueryData, change)) {
          queryCache_->UpdateTarget(newQueryData);
        }
      }
    }

    MaybeDocumentMap changedDocs;
    DocumentKeySet updatedKeys;
    for (const auto& entry : remoteEvent.document_updates()) {
      updatedKeys = updatedKeys.insert(entry.first);
    }
    MaybeDocumentMap existingDocs = remoteDocumentCache_->GetAll(updatedKeys);

    for (const auto& entry : remoteEvent.document_updates()) {
      const DocumentKey& key = entry.first;
      const MaybeDocumentPtr& doc = entry.second;
      MaybeDocumentPtr existingDoc;
      auto found = existingDocs.find(key);
      if (found != existingDocs.end()) {
        existingDoc = found->second;
      }

      // A synthesized update (none version) always wins; otherwise only a version at least the
      // cached one, or an authoritative update over a document without pending writes.
      if (!existingDoc || doc->version() == SnapshotVersion::None() ||
          (authoritativeUpdates.contains(key) && !existingDoc->hasPendingWrites()) ||
          doc->version() >= existingDoc->version()) {
        remoteDocumentCache_->Add(doc);
        changedDocs = changedDocs.insert(key, doc);
      } else {
        LOG_DEBUG(
            "VRVLocalStore Ignoring outdated watch update for %s. Current version: %s  Watch "
            "version: %s",
            key, existingDoc->version(), doc->version());
      }

      if (remoteEvent.limbo_document_changes().contains(key)) {
        persistence_->referenceDelegate()->limboDocumentUpdated(key);
      }
    }

    const SnapshotVersion& remoteVersion = remoteEvent.snapshot_version();
    if (remoteVersion != SnapshotVersion::None()) {
      SnapshotVersion lastRemoteVersion = queryCache_->GetLastRemoteSnapshotVersion();
      HARD_ASSERT(remoteVersion >= lastRemoteVersion,
                  "Watch stream reverted to previous snapshot?? (%s < %s)", remoteVersion,
                  lastRemoteVersion);
      queryCache_->SetLastRemoteSnapshotVersion(remoteVersion);
    }

    return localDocuments_->GetLocalViewOfDocuments(changedDocs);
  });
}

bool VRVLocalStore::shouldPersistQueryData(const VRVQueryData& newQueryData,
                                           const VRVQueryData& oldQueryData,
                                           const TargetChange& change) {
  if (newQueryData.resumeToken().empty()) {
    return false;
  }
  // A token for a target that never had one is always written.
  if (oldQueryData.resumeToken().empty()) {
    return true;
  }
  // Write at least every few minutes so that a restart does not replay too much.
  int64_t timeDelta = newQueryData.snapshotVersion().timestamp().seconds() -
                      oldQueryData.snapshotVersion().timestamp().seconds();
  if (timeDelta >= kResumeTokenMaxAgeSeconds) {
    return true;
  }
  // Document changes write the target anyway, so the token goes with them.
  size_t changes = change.added_documents().size() + change.modified_documents().size() +
                   change.removed_documents().size();
  return changes > 0;
}

void VRVLocalStore::notifyLocalViewChanges(const std::vector<VRVLocalViewChanges>& viewChanges) {
  persistence_->run()("NotifyLocalViewChanges", [&] {
    for (const VRVLocalViewChanges& view : viewChanges) {
      for (const DocumentKey& key : view.removedKeys()) {
        persistence_->referenceDelegate()->removeReference(key);
      }
      localViewReferences_.AddReferences(view.addedKeys(), view.targetID());
      localViewReferences_.RemoveReferences(view.removedKeys(), view.targetID());
    }
  });
}

MutationBatchPtr VRVLocalStore::nextMutationBatchAfterBatchID(BatchId batchID) {
  return persistence_->run()("NextMutationBatchAfterBatchID", [&] {
    return mutationQueue_->NextMutationBatchAfterBatchId(batchID);
  });
}

MaybeDocumentPtr VRVLocalStore::readDocument(const DocumentKey& key) {
  return persistence_->run()("ReadDocument", [&] { return localDocuments_->GetDocument(key); });
}

QueryDataPtr VRVLocalStore::allocateQuery(QueryPtr query) {
  QueryDataPtr queryData = persistence_->run()("Allocate query", [&] {
    QueryDataPtr cached = queryCache_->GetTarget(*query);
    // A query listened to before keeps its target id and resume token.
    if (cached) {
      return cached;
    }
    QueryDataPtr created = std::make_shared<const VRVQueryData>(
        query, targetIDGenerator_.NextId(), persistence_->currentSequenceNumber(),
        VRVQueryPurposeListen);
    queryCache_->AddTarget(created);
    return created;
  });

  TargetId targetID = queryData->targetID();
  HARD_ASSERT(targetIDs_.find(targetID) == targetIDs_.end(),
              "Tried to allocate an already allocated query: %s", query);
  targetIDs_[targetID] = queryData;
  return queryData;
}

void VRVLocalStore::releaseQuery(const QueryPtr& query) {
  persistence_->run()("Release query", [&] {
    QueryDataPtr queryData = queryCache_->GetTarget(*query);
    HARD_ASSERT(queryData != nullptr, "Tried to release nonexistent query: %s", query);

    TargetId targetID = queryData->targetID();
    auto active = targetIDs_.find(targetID);
    // Tokens held back from storage by the persistence rule are written now.
    if (active != targetIDs_.end() &&
        active->second->snapshotVersion() > queryData->snapshotVersion()) {
      queryData = active->second;
      queryCache_->UpdateTarget(queryData);
    }

    DocumentKeySet removed = localViewReferences_.RemoveReferences(targetID);
    for (const DocumentKey& key : removed) {
      persistence_->referenceDelegate()->removeReference(key);
    }
    targetIDs_.erase(targetID);
    persistence_->referenceDelegate()->removeTarget(queryData);
  });
}

DocumentMap VRVLocalStore::executeQuery(const VRVQuery& query) {
  return persistence_->run()("ExecuteQuery",
                             [&] { return localDocuments_->GetDocumentsMatchingQuery(query); });
}

DocumentKeySet VRVLocalStore::remoteDocumentKeysForTarget(TargetId targetID) {
  return persistence_->run()("RemoteDocumentKeysForTarget",
                             [&] { return queryCache_->GetMatchingKeys(targetID); });
}

LruResults VRVLocalStore::collectGarbage(VRVLRUGarbageCollector* garbageCollector) {
  return persistence_->run()("Collect garbage", [&] {
    return garbageCollector->collectWithLiveTargets(targetIDs_);
  });
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
