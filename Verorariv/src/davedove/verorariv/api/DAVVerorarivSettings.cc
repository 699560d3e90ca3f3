#include "davedove/verorariv/api/DAVVerorarivSettings.h"

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"

DAVVerorarivSettings::DAVVerorarivSettings()
    : host_(kDAVVerorarivDefaultHost), dispatchQueue_(platform::dispatch::Queue::main()) {}

void DAVVerorarivSettings::setHost(const std::string& host) {
  if (host.empty()) DAVThrowInvalidArgument("Host setting may not be nil.");
  host_ = host;
}

void DAVVerorarivSettings::setCacheSizeBytes(int64_t cacheSizeBytes) {
  if (cacheSizeBytes != kDAVVerorarivCacheSizeUnlimited &&
      cacheSizeBytes < kDAVVerorarivMinimumCacheSizeBytes) {
    DAVThrowInvalidArgument("Cache size must be set to at least %i bytes",
                            {absl::StrCat(kDAVVerorarivMinimumCacheSizeBytes)});
  }
  cacheSizeBytes_ = cacheSizeBytes;
}

void DAVVerorarivSettings::setDispatchQueue(platform::dispatch::QueuePtr queue) {
  if (!queue) DAVThrowInvalidArgument("Dispatch queue setting may not be nil.");
  dispatchQueue_ = std::move(queue);
}

bool operator==(const DAVVerorarivSettings& lhs, const DAVVerorarivSettings& rhs) {
  return lhs.host_ == rhs.host_ && lhs.sslEnabled_ == rhs.sslEnabled_ &&
         lhs.persistenceEnabled_ == rhs.persistenceEnabled_ &&
         lhs.cacheSizeBytes_ == rhs.cacheSizeBytes_ &&
         lhs.timestampsInSnapshotsEnabled_ == rhs.timestampsInSnapshotsEnabled_ &&
         lhs.dispatchQueue_ == rhs.dispatchQueue_;
}
