#include "davedove/verorariv/model/VRVMutationBatch.h"

#include <string>
#include <utility>

#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace model {

namespace {

bool MutationsEqual(const std::vector<MutationPtr>& lhs, const std::vector<MutationPtr>& rhs) {
  if (lhs.size() != rhs.size()) return false;
  for (size_t i = 0; i < lhs.size(); ++i) {
    if (lhs[i] == rhs[i]) continue;
    if (!lhs[i] || !rhs[i] || !lhs[i]->isEqual(*rhs[i])) return false;
  }
  return true;
}

void AssertKeyMatches(const MaybeDocumentPtr& maybeDoc, const DocumentKey& documentKey) {
  MODEL_ASSERT(!maybeDoc || maybeDoc->key() == documentKey,
               "!maybeDoc || maybeDoc.key == documentKey",
               "applyTo: key %s doesn't match maybeDoc key %s", documentKey.ToString(),
               maybeDoc->key().ToString());
}

}  // namespace

// VRVMutationBatch

VRVMutationBatch::VRVMutationBatch(BatchId batchID, const DAVTimestamp& localWriteTime,
                                   std::vector<MutationPtr> baseMutations,
                                   std::vector<MutationPtr> mutations)
    : batchID_(batchID),
      localWriteTime_(localWriteTime),
      baseMutations_(std::move(baseMutations)),
      mutations_(std::move(mutations)) {
  MODEL_ASSERT(!mutations_.empty(), "!mutations.empty()", "Cannot create an empty mutation batch");
}

MaybeDocumentPtr VRVMutationBatch::applyToRemoteDocument(
    MaybeDocumentPtr maybeDoc, const DocumentKey& documentKey,
    const VRVMutationBatchResult& mutationBatchResult) const {
  AssertKeyMatches(maybeDoc, documentKey);
  const std::vector<VRVMutationResult>& results = mutationBatchResult.mutationResults();
  MODEL_ASSERT(results.size() == mutations_.size(),
               "mutationBatchResult.mutationResults.size() == _mutations.size()",
               "Mismatch between mutations length (%s) and results length (%s)", mutations_.size(),
               results.size());
  for (size_t i = 0; i < mutations_.size(); ++i) {
    const MutationPtr& mutation = mutations_[i];
    if (mutation->key() == documentKey) {
      maybeDoc = mutation->applyToRemoteDocument(maybeDoc, results[i]);
    }
  }
  return maybeDoc;
}

MaybeDocumentPtr VRVMutationBatch::applyToLocalDocument(MaybeDocumentPtr maybeDoc,
                                                        const DocumentKey& documentKey) const {
  AssertKeyMatches(maybeDoc, documentKey);
  // Base mutations first, then the batch's own; each applies to the result of the one before.
  for (const MutationPtr& mutation : baseMutations_) {
    if (mutation->key() == documentKey) {
      maybeDoc = mutation->applyToLocalDocument(maybeDoc, maybeDoc, localWriteTime_);
    }
  }
  const MaybeDocumentPtr baseDoc = maybeDoc;
  for (const MutationPtr& mutation : mutations_) {
    if (mutation->key() == documentKey) {
      maybeDoc = mutation->applyToLocalDocument(maybeDoc, baseDoc, localWriteTime_);
    }
  }
  return maybeDoc;
}

MaybeDocumentMap VRVMutationBatch::applyToLocalDocumentSet(const MaybeDocumentMap& maybeDocs) const {
  MaybeDocumentMap result = maybeDocs;
  DocumentKeySet seen;
  for (const MutationPtr& mutation : mutations_) {
    const DocumentKey& key = mutation->key();
    if (seen.contains(key)) continue;
    seen = seen.insert(key);
    auto found = result.find(key);
    MaybeDocumentPtr current = found == result.end() ? nullptr : found->second;
    MaybeDocumentPtr applied = applyToLocalDocument(current, key);
    if (applied) result = result.insert(key, applied);
  }
  return result;
}

DocumentKeySet VRVMutationBatch::keys() const {
  DocumentKeySet set;
  for (const MutationPtr& mutation : mutations_) set = set.insert(mutation->key());
  return set;
}

bool VRVMutationBatch::isEqual(const VRVMutationBatch& other) const {
  if (this == &other) return true;
  return batchID_ == other.batchID_ && localWriteTime_ == other.localWriteTime_ &&
         MutationsEqual(baseMutations_, other.baseMutations_) &&
         MutationsEqual(mutations_, other.mutations_);
}

size_t VRVMutationBatch::Hash() const {
  size_t result = 31 * static_cast<size_t>(static_cast<int64_t>(batchID_)) + localWriteTime_.Hash();
  for (const MutationPtr& mutation : baseMutations_) result = 31 * result + mutation->Hash();
  for (const MutationPtr& mutation : mutations_) result = 31 * result + mutation->Hash();
  return result;
}

std::string VRVMutationBatch::ToString() const {
  std::string mutations = "[";
  for (size_t i = 0; i < mutations_.size(); ++i) {
    if (i > 0) mutations += ", ";
    mutations += mutations_[i]->ToString();
  }
  mutations += "]";
  return util::StringFormat("<VRVMutationBatch: id=%s, localWriteTime=%s, mutations=%s>", batchID_,
                            localWriteTime_.ToString(), mutations);
}

// VRVMutationBatchResult

VRVMutationBatchResult::VRVMutationBatchResult(MutationBatchPtr batch,
                                               const SnapshotVersion& commitVersion,
                                               std::vector<VRVMutationResult> mutationResults,
                                               std::string streamToken,
                                               DocumentVersionMap docVersions)
    : batch_(std::move(batch)),
      commitVersion_(commitVersion),
      mutationResults_(std::move(mutationResults)),
      streamToken_(std::move(streamToken)),
      docVersions_(std::move(docVersions)) {}

MutationBatchResultPtr VRVMutationBatchResult::resultWithBatch(
    MutationBatchPtr batch, const SnapshotVersion& commitVersion,
    std::vector<VRVMutationResult> mutationResults, std::string streamToken) {
  MODEL_ASSERT(batch->mutations().size() == mutationResults.size(),
               "batch.mutations.size() == mutationResults.size()",
               "Mutations sent %s must equal results received %s", batch->mutations().size(),
               mutationResults.size());
  DocumentVersionMap docVersions;
  const std::vector<MutationPtr>& mutations = batch->mutations();
  for (size_t i = 0; i < mutations.size(); ++i) {
    docVersions.insert_or_assign(mutations[i]->key(), mutationResults[i].version());
  }
  return std::make_shared<const VRVMutationBatchResult>(std::move(batch), commitVersion,
                                                        std::move(mutationResults),
                                                        std::move(streamToken),
                                                        std::move(docVersions));
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
