#ifndef DAVEDOVE_VERORARIV_API_DAVSNAPSHOTMETADATA_H_
#define DAVEDOVE_VERORARIV_API_DAVSNAPSHOTMETADATA_H_

// Where a snapshot's data comes from.
class DAVSnapshotMetadata {
 public:
  DAVSnapshotMetadata(bool hasPendingWrites, bool isFromCache)
      : hasPendingWrites_(hasPendingWrites), isFromCache_(isFromCache) {}

  // The snapshot shows local writes the server has not acknowledged yet.
  bool hasPendingWrites() const { return hasPendingWrites_; }
  // The snapshot was not confirmed current by the server.
  bool isFromCache() const { return isFromCache_; }

  friend bool operator==(const DAVSnapshotMetadata& lhs, const DAVSnapshotMetadata& rhs) {
    return lhs.hasPendingWrites_ == rhs.hasPendingWrites_ && lhs.isFromCache_ == rhs.isFromCache_;
  }

 private:
  bool hasPendingWrites_;
  bool isFromCache_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVSNAPSHOTMETADATA_H_
