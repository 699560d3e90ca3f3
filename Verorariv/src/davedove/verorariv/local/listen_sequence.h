#ifndef DAVEDOVE_VERORARIV_LOCAL_LISTEN_SEQUENCE_H_
#define DAVEDOVE_VERORARIV_LOCAL_LISTEN_SEQUENCE_H_

#include <cstdint>

namespace davedove {
namespace verorariv {
namespace model {

// Orders targets and documents by how recently they were used.
using ListenSequenceNumber = int64_t;

}  // namespace model

namespace local {

// No sequence number: outside a transaction, or nothing to collect.
constexpr model::ListenSequenceNumber kVRVListenSequenceNumberInvalid = -1;

// The counter an LRU reference delegate draws its transaction numbers from.
class ListenSequence {
 public:
  explicit ListenSequence(model::ListenSequenceNumber starting_after)
      : previous_sequence_number_(starting_after) {}

  // The previous number plus one.
  model::ListenSequenceNumber Next() { return ++previous_sequence_number_; }

 private:
  model::ListenSequenceNumber previous_sequence_number_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LISTEN_SEQUENCE_H_
