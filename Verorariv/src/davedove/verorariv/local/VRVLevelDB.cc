#include "davedove/verorariv/local/VRVLevelDB.h"

#include <sys/stat.h>

#include <utility>

#include "absl/strings/match.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/leveldb_owner_only_env.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_migrations.h"
#include "davedove/verorariv/local/reference_set.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/directory_iterator.h"
#include "davedove/verorariv/util/filesystem.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"
#include "davedove/verorariv/util/string_util.h"
#include "platform/foundation/DamagedInput.h"
#include "platform/foundation/System.h"

namespace davedove {
namespace verorariv {
namespace local {

using util::Path;
using util::Status;
using util::StatusOr;

namespace {

constexpr const char* kReservedPathComponent = "verorariv";
constexpr const char* kMainDatabaseName = "main";

// Whether `name` stays exactly one directory level below its parent.
Status CheckDirectoryName(absl::string_view what, const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return Status(VerorarivErrorCode::InvalidArgument,
                  util::StringFormat("The %s \"%s\" cannot name a storage directory", what, name));
  }
  return Status::OK();
}

// Every pending write must decode: a batch that cannot be read would be lost without a word, or
// stop the process at its first read.
Status CheckPendingWrites(leveldb::DB* db, const VRVLocalSerializer& serializer) {
  LevelDbTransaction transaction(db, "Check pending writes");
  std::string prefix = LevelDbMutationKey::KeyPrefix();
  auto it = transaction.NewIterator();
  for (it->Seek(prefix); it->Valid() && absl::StartsWith(it->key(), prefix); it->Next()) {
    LevelDbMutationKey key;
    VRVPBWriteBatch batch;
    Status decoded;
    if (!key.Decode(it->key()) || !batch.ParseFromArray(it->value().data(),
                                                        static_cast<int>(it->value().size()))) {
      decoded = Status(VerorarivErrorCode::DataLoss, "not a stored write batch");
    } else {
      decoded = serializer.decodeMutationBatch(batch).status();
    }
    if (!decoded.ok()) {
      return Status(VerorarivErrorCode::DataLoss,
                    util::StringFormat("The pending write row %s does not decode",
                                       DescribeKey(it->key())))
          .CausedBy(decoded);
    }
  }
  return Status::OK();
}

// DataLoss when the directory holds tables or a manifest but no CURRENT file naming them.
Status HasTablesWithoutCurrent(const Path& directory) {
  std::string dir = directory.ToUtf8String();
  std::optional<std::string> found = platform::levelDbTablesWithoutCurrent(dir);
  if (!found) return Status::OK();
  return Status(VerorarivErrorCode::DataLoss,
                util::StringFormat("The LevelDB database at %s has lost its CURRENT file but still holds %s; "
                                   "it is left as it is",
                                   dir, *found));
}

}  // namespace

// ----- VRVLevelDB: opening -----

Path VRVLevelDB::documentsDirectory() {
  return Path::FromUtf8(platform::homeDirectory()).AppendUtf8(std::string(".") +
                                                              kReservedPathComponent);
}

StatusOr<Path> VRVLevelDB::storageDirectoryForDatabaseInfo(const core::DatabaseInfo& databaseInfo,
                                                           const Path& documentsDirectory) {
  const model::DatabaseId& databaseId = databaseInfo.database_id();
  Status status = CheckDirectoryName("persistence key", databaseInfo.persistence_key());
  status.Update(CheckDirectoryName("project id", databaseId.project_id()));
  status.Update(CheckDirectoryName("database id", databaseId.database_id()));
  if (!status.ok()) return status;

  std::string projectSegment = databaseId.project_id();
  if (databaseId.database_id() != model::DatabaseId::kDefault) {
    projectSegment += "." + databaseId.database_id();
  }
  return documentsDirectory.AppendUtf8(databaseInfo.persistence_key())
      .AppendUtf8(projectSegment)
      .AppendUtf8(kMainDatabaseName);
}

StatusOr<std::shared_ptr<VRVLevelDB>> VRVLevelDB::dbWithDirectory(
    Path directory, std::shared_ptr<const VRVLocalSerializer> serializer,
    const LruParams& lruParams) {
  Status status = ensureDirectory(directory);
  if (!status.ok()) return status;

  StatusOr<std::unique_ptr<leveldb::DB>> created = createDBWithDirectory(directory);
  if (!created.ok()) return created.status();
  std::unique_ptr<leveldb::DB> db = std::move(created).value();

  status = LevelDbMigrations::RunMigrations(db.get());
  if (!status.ok()) return status;
  status = CheckPendingWrites(db.get(), *serializer);
  if (!status.ok()) return status;

  std::set<std::string> users;
  {
    LevelDbTransaction transaction(db.get(), "Start LevelDB");
    users = collectUserSet(&transaction);
    transaction.Commit();
  }

  auto persistence = std::make_shared<VRVLevelDB>(std::move(db), std::move(users),
                                                  std::move(directory), std::move(serializer));
  persistence->Initialize(lruParams);
  return persistence;
}

Status VRVLevelDB::ensureDirectory(const Path& directory) {
  Status status = util::RecursivelyCreateDir(directory);
  if (!status.ok()) {
    return Status(VerorarivErrorCode::Internal, "Failed to create persistence directory")
        .CausedBy(status);
  }
  // A store folder made by an earlier version may still be open to other users.
  ::chmod(directory.ToUtf8String().c_str(), 0700);
  // This platform has no backup-exclusion mark for directories; there is nothing to set.
  return Status::OK();
}

StatusOr<std::unique_ptr<leveldb::DB>> VRVLevelDB::createDBWithDirectory(const Path& directory) {
  // Without CURRENT, LevelDB would start an empty store over the tables and delete them.
  Status missing = HasTablesWithoutCurrent(directory);
  if (!missing.ok()) return missing;
  // Files an earlier version left open to other users; the folder is narrowed already, so nobody else
  // can open a file the store makes before the environment narrows it too.
  NarrowLevelDbStore(directory.ToUtf8String());
  leveldb::Options options;
  options.env = LevelDbOwnerOnlyEnv();
  options.create_if_missing = true;
  // A damaged log record fails the open instead of dropping an acknowledged write.
  options.paranoid_checks = true;
  leveldb::DB* db = nullptr;
  leveldb::Status status = leveldb::DB::Open(options, directory.ToUtf8String(), &db);
  if (!status.ok()) {
    return Status(status.IsCorruption() ? VerorarivErrorCode::DataLoss : VerorarivErrorCode::Internal,
                  util::StringFormat("Failed to open LevelDB database at %s",
                                     directory.ToUtf8String()))
        .CausedBy(ConvertStatus(status));
  }
  return std::unique_ptr<leveldb::DB>(db);
}

std::set<std::string> VRVLevelDB::collectUserSet(LevelDbTransaction* transaction) {
  std::set<std::string> users;
  std::string prefix = LevelDbMutationKey::KeyPrefix();
  auto it = transaction->NewIterator();
  it->Seek(prefix);
  LevelDbMutationKey rowKey;
  while (it->Valid() && absl::StartsWith(it->key(), prefix) && rowKey.Decode(it->key())) {
    users.insert(rowKey.user_id());
    it->Seek(util::PrefixSuccessor(LevelDbMutationKey::KeyPrefix(rowKey.user_id())));
  }
  return users;
}

const leveldb::ReadOptions& VRVLevelDB::standardReadOptions() {
  return LevelDbTransaction::DefaultReadOptions();
}

VRVLevelDB::VRVLevelDB(std::unique_ptr<leveldb::DB> db, std::set<std::string> users,
                       Path directory, std::shared_ptr<const VRVLocalSerializer> serializer)
    : directory_(std::move(directory)),
      ptr_(std::move(db)),
      users_(std::move(users)),
      started_(true),
      serializer_(std::move(serializer)) {}

VRVLevelDB::~VRVLevelDB() {
  // The caches and queues only hold this object; the database closes with ptr_.
  transaction_.reset();
}

void VRVLevelDB::Initialize(const LruParams& lruParams) {
  queryCache_ = std::make_unique<LevelDbQueryCache>(this, serializer_);
  documentCache_ = std::make_unique<LevelDbRemoteDocumentCache>(this, serializer_);
  indexManager_ = std::make_unique<LevelDbIndexManager>(this);
  referenceDelegate_ = std::make_shared<VRVLevelDBLRUDelegate>(weak_from_this(), lruParams);
  transactionRunner_.SetBackingPersistence(weak_from_this());
  queryCache_->Start();
  referenceDelegate_->start();
}

// ----- VRVLevelDB: persistence -----

void VRVLevelDB::shutdown() {
  HARD_ASSERT(started_, "VRVLevelDB shutdown without start!");
  started_ = false;
  transaction_.reset();
  ptr_.reset();
}

LevelDbMutationQueue* VRVLevelDB::mutationQueueForUser(const auth::User& user) {
  std::string userId = user.is_authenticated() ? user.uid() : std::string();
  users_.insert(userId);
  std::unique_ptr<LevelDbMutationQueue>& queue = mutationQueues_[userId];
  if (!queue) queue = std::make_unique<LevelDbMutationQueue>(user, this, serializer_);
  currentMutationQueue_ = queue.get();
  return currentMutationQueue_;
}

std::shared_ptr<VRVReferenceDelegate> VRVLevelDB::referenceDelegate() {
  return referenceDelegate_;
}

model::ListenSequenceNumber VRVLevelDB::currentSequenceNumber() {
  return referenceDelegate_->currentSequenceNumber();
}

void VRVLevelDB::startTransaction(absl::string_view label) {
  HARD_ASSERT(transaction_ == nullptr, "Starting a transaction while one is already outstanding");
  transaction_ = std::make_unique<LevelDbTransaction>(ptr_.get(), label);
  referenceDelegate_->transactionWillStart();
}

void VRVLevelDB::commitTransaction() {
  HARD_ASSERT(transaction_ != nullptr, "Committing a transaction before one is started");
  referenceDelegate_->transactionWillCommit();
  transaction_->Commit();
  transaction_.reset();
}

LevelDbTransaction* VRVLevelDB::currentTransaction() {
  HARD_ASSERT(transaction_ != nullptr, "Attempting to access transaction before one has started");
  return transaction_.get();
}

int64_t VRVLevelDB::byteSize() {
  int64_t count = 0;
  std::unique_ptr<util::DirectoryIterator> it = util::DirectoryIterator::Create(directory_);
  for (; it->Valid(); it->Next()) {
    StatusOr<int64_t> size = util::FileSize(it->file());
    // Compaction deletes files at any time; one gone since the listing takes no room.
    if (!size.ok() && size.status().code() == VerorarivErrorCode::NotFound) continue;
    count += size.value();
  }
  HARD_ASSERT(it->status().ok(), "Failed to iterate leveldb directory: %s",
              it->status().error_message());
  HARD_ASSERT(count >= 0, "Overflowed counting bytes cached");
  return count;
}

// ----- VRVLevelDBLRUDelegate -----

VRVLevelDBLRUDelegate::VRVLevelDBLRUDelegate(std::weak_ptr<VRVLevelDB> persistence,
                                             const LruParams& lruParams)
    : lruParams_(lruParams), db_(std::move(persistence)) {}

std::shared_ptr<VRVLevelDB> VRVLevelDBLRUDelegate::db() const {
  std::shared_ptr<VRVLevelDB> db = db_.lock();
  HARD_ASSERT(db != nullptr, "The LevelDB persistence is gone");
  return db;
}

void VRVLevelDBLRUDelegate::start() {
  listenSequence_ =
      std::make_unique<ListenSequence>(db()->queryCache()->highest_listen_sequence_number());
}

void VRVLevelDBLRUDelegate::transactionWillStart() {
  HARD_ASSERT(currentSequenceNumber_ == kVRVListenSequenceNumberInvalid,
              "Previous sequence number is still in effect");
  currentSequenceNumber_ = listenSequence_->Next();
}

void VRVLevelDBLRUDelegate::transactionWillCommit() {
  currentSequenceNumber_ = kVRVListenSequenceNumberInvalid;
}

model::ListenSequenceNumber VRVLevelDBLRUDelegate::currentSequenceNumber() {
  HARD_ASSERT(currentSequenceNumber_ != kVRVListenSequenceNumberInvalid,
              "Asking for a sequence number outside of a transaction");
  return currentSequenceNumber_;
}

void VRVLevelDBLRUDelegate::removeTarget(const QueryDataPtr& queryData) {
  QueryDataPtr updated = queryData->queryDataByReplacingSnapshotVersion(
      queryData->snapshotVersion(), queryData->resumeToken(), currentSequenceNumber());
  db()->queryCache()->UpdateTarget(updated);
}

void VRVLevelDBLRUDelegate::writeSentinelForKey(const model::DocumentKey& key) {
  db()->currentTransaction()->Put(LevelDbDocumentTargetKey::SentinelKey(key),
                                  LevelDbDocumentTargetKey::EncodeSentinelValue(
                                      currentSequenceNumber()));
}

void VRVLevelDBLRUDelegate::removeSentinel(const model::DocumentKey& key) {
  db()->currentTransaction()->Delete(LevelDbDocumentTargetKey::SentinelKey(key));
}

bool VRVLevelDBLRUDelegate::isPinned(const model::DocumentKey& key) {
  if (additionalReferences_ != nullptr && additionalReferences_->ContainsKey(key)) return true;
  return mutationQueuesContainKey(key);
}

bool VRVLevelDBLRUDelegate::mutationQueuesContainKey(const model::DocumentKey& key) {
  std::shared_ptr<VRVLevelDB> persistence = db();
  auto it = persistence->currentTransaction()->NewIterator();
  for (const std::string& userId : persistence->users()) {
    std::string prefix = LevelDbDocumentMutationKey::KeyPrefix(userId, key.path());
    it->Seek(prefix);
    // No terminator after the path: pending writes beneath the document count too.
    if (it->Valid() && absl::StartsWith(it->key(), prefix)) return true;
  }
  return false;
}

void VRVLevelDBLRUDelegate::enumerateTargetsUsingCallback(const TargetCallback& callback) {
  db()->queryCache()->EnumerateTargets(callback);
}

void VRVLevelDBLRUDelegate::enumerateMutationsUsingCallback(
    const OrphanedDocumentCallback& callback) {
  db()->queryCache()->EnumerateOrphanedDocuments(callback);
}

int32_t VRVLevelDBLRUDelegate::removeOrphanedDocumentsThroughSequenceNumber(
    model::ListenSequenceNumber upperBound) {
  std::shared_ptr<VRVLevelDB> persistence = db();
  // Collected first: removing while the scan runs would change the rows under it.
  std::vector<model::DocumentKey> removable;
  persistence->queryCache()->EnumerateOrphanedDocuments(
      [&](const model::DocumentKey& key, model::ListenSequenceNumber sequenceNumber) {
        if (sequenceNumber <= upperBound && !isPinned(key)) removable.push_back(key);
      });
  for (const model::DocumentKey& key : removable) {
    persistence->remoteDocumentCache()->Remove(key);
    removeSentinel(key);
  }
  return static_cast<int32_t>(removable.size());
}

int32_t VRVLevelDBLRUDelegate::removeTargetsThroughSequenceNumber(
    model::ListenSequenceNumber upperBound, const LiveQueryMap& liveQueries) {
  return db()->queryCache()->RemoveTargets(upperBound, liveQueries);
}

int64_t VRVLevelDBLRUDelegate::byteSize() { return db()->byteSize(); }

int32_t VRVLevelDBLRUDelegate::sequenceNumberCount() {
  std::shared_ptr<VRVLevelDB> persistence = db();
  int32_t count = static_cast<int32_t>(persistence->queryCache()->size());
  enumerateMutationsUsingCallback(
      [&count](const model::DocumentKey&, model::ListenSequenceNumber) { count++; });
  return count;
}

std::shared_ptr<VRVLRUGarbageCollector> VRVLevelDBLRUDelegate::gc() {
  if (!gc_) gc_ = std::make_shared<VRVLRUGarbageCollector>(weak_from_this(), lruParams_);
  return gc_;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
