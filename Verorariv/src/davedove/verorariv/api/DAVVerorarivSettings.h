#ifndef DAVEDOVE_VERORARIV_API_DAVVERORARIVSETTINGS_H_
#define DAVEDOVE_VERORARIV_API_DAVVERORARIVSETTINGS_H_

#include <cstdint>
#include <string>

#include "platform/dispatch/Queue.h"

// The default host of the document service.
inline constexpr const char kDAVVerorarivDefaultHost[] = "verorariv.davedoveapis.com:443";
// The cache size that disables the LRU collection.
inline constexpr int64_t kDAVVerorarivCacheSizeUnlimited = -1;
inline constexpr int64_t kDAVVerorarivDefaultCacheSizeBytes = 100 * 1024 * 1024;
inline constexpr int64_t kDAVVerorarivMinimumCacheSizeBytes = 1024 * 1024;

// How one database instance talks to the service and keeps its data. A value; set on the
// instance before its first use.
class DAVVerorarivSettings {
 public:
  DAVVerorarivSettings();

  // "host:port" of the document service; raises DAVInvalidArgumentException for an empty host.
  const std::string& host() const { return host_; }
  void setHost(const std::string& host);

  bool isSSLEnabled() const { return sslEnabled_; }
  void setSSLEnabled(bool sslEnabled) { sslEnabled_ = sslEnabled; }

  // On by default: documents and pending writes are kept on disk.
  bool isPersistenceEnabled() const { return persistenceEnabled_; }
  void setPersistenceEnabled(bool enabled) { persistenceEnabled_ = enabled; }

  // The size above which the LRU collection removes unused documents; -1 turns it off. Values
  // below 1 MiB other than -1 raise DAVInvalidArgumentException.
  int64_t cacheSizeBytes() const { return cacheSizeBytes_; }
  void setCacheSizeBytes(int64_t cacheSizeBytes);

  // Timestamps read as DAVTimestamp (true) or as a platform date.
  bool areTimestampsInSnapshotsEnabled() const { return timestampsInSnapshotsEnabled_; }
  void setTimestampsInSnapshotsEnabled(bool enabled) { timestampsInSnapshotsEnabled_ = enabled; }

  // Where completions and listeners run; the main queue by default. A null queue raises
  // DAVInvalidArgumentException.
  const platform::dispatch::QueuePtr& dispatchQueue() const { return dispatchQueue_; }
  void setDispatchQueue(platform::dispatch::QueuePtr queue);

  friend bool operator==(const DAVVerorarivSettings& lhs, const DAVVerorarivSettings& rhs);
  friend bool operator!=(const DAVVerorarivSettings& lhs, const DAVVerorarivSettings& rhs) {
    return !(lhs == rhs);
  }

 private:
  std::string host_;
  bool sslEnabled_ = true;
  bool persistenceEnabled_ = true;
  int64_t cacheSizeBytes_ = kDAVVerorarivDefaultCacheSizeBytes;
  bool timestampsInSnapshotsEnabled_ = true;
  platform::dispatch::QueuePtr dispatchQueue_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVVERORARIVSETTINGS_H_
