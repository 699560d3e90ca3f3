#include "davedove/verorariv/core/target_id_generator.h"

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace core {

TargetIdGenerator::TargetIdGenerator(int32_t generator_id, TargetId seed)
    : generator_id_(generator_id), next_id_(0) {
  Seek(seed);
}

void TargetIdGenerator::Seek(TargetId target_id) {
  HARD_ASSERT((target_id & generator_id_) == generator_id_,
              "Cannot supply target ID from different generator ID");
  next_id_ = target_id;
}

TargetId TargetIdGenerator::NextId() {
  TargetId next = next_id_;
  // Wraps instead of overflowing (the signed overflow would be undefined).
  next_id_ = static_cast<TargetId>(static_cast<uint32_t>(next_id_) + 2u);
  return next;
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
