#ifndef DAVEDOVE_VERORARIV_MODEL_DOCUMENT_KEY_SET_H_
#define DAVEDOVE_VERORARIV_MODEL_DOCUMENT_KEY_SET_H_

#include "davedove/verorariv/immutable/sorted_set.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/comparison.h"

namespace davedove {
namespace verorariv {
namespace model {

// A persistent sorted set of document keys, in key order.
using DocumentKeySet = immutable::SortedSet<DocumentKey, util::Comparator<DocumentKey>>;

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_DOCUMENT_KEY_SET_H_
