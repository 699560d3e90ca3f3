#include "davedove/verorariv/model/DAVTimestamp.h"

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/util/string_format.h"
#include "platform/foundation/Exception.h"

using davedove::verorariv::util::ComparisonResult;

namespace {

// The values come from the application: refused with an exception before the internal timestamp,
// which holds them as an invariant, would stop the process.
davedove::Timestamp CheckedTimestamp(int64_t seconds, int32_t nanoseconds) {
  if (nanoseconds < 0 || nanoseconds >= 1000000000) {
    platform::raiseFormat(kDAVInvalidArgumentException, "Timestamp nanoseconds out of range: %s",
                          {absl::StrCat(nanoseconds)});
  }
  if (seconds < -62135596800L || seconds >= 253402300800L) {
    platform::raiseFormat(kDAVInvalidArgumentException, "Timestamp seconds out of range: %s",
                          {absl::StrCat(seconds)});
  }
  return davedove::Timestamp(seconds, nanoseconds);
}

}  // namespace

DAVTimestamp::DAVTimestamp(int64_t seconds, int32_t nanoseconds)
    : timestamp_(CheckedTimestamp(seconds, nanoseconds)) {}

DAVTimestamp DAVTimestamp::timestampWithSeconds(int64_t seconds, int32_t nanoseconds) {
  return DAVTimestamp(seconds, nanoseconds);
}

DAVTimestamp DAVTimestamp::timestamp() { return DAVTimestamp(davedove::Timestamp::Now()); }

ComparisonResult DAVTimestamp::compare(const DAVTimestamp& other) const {
  if (timestamp_ < other.timestamp_) return ComparisonResult::Ascending;
  if (other.timestamp_ < timestamp_) return ComparisonResult::Descending;
  return ComparisonResult::Same;
}

size_t DAVTimestamp::Hash() const {
  const int64_t seconds = timestamp_.seconds();
  return static_cast<size_t>(seconds ^ (seconds >> 32) ^ static_cast<int64_t>(nanoseconds()));
}

platform::Date DAVTimestamp::dateValue() const {
  platform::Date date;
  date.secondsSince1970 = static_cast<double>(seconds()) + nanoseconds() / 1e9;
  return date;
}

std::string DAVTimestamp::ToString() const {
  return davedove::verorariv::util::StringFormat("<DAVTimestamp: seconds=%s nanoseconds=%s>",
                                                 seconds(), nanoseconds());
}
